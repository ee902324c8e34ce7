// The tolerant number reader and the locale separators it works with.
#include "util/numbers.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

NumberSeparators Normalise(NumberSeparators separators) {
  if (separators.decimal != ',' && separators.decimal != '.') {
    separators.decimal = '.';
  }
  const auto thousands = static_cast<unsigned char>(separators.thousands);
  if (thousands == 0 || thousands >= 0x80) {
    separators.thousands = separators.decimal == ',' ? '.' : ',';
  }
  return separators;
}

NumberSeparators& Separators() {
  static NumberSeparators separators = LocaleNumberSeparators();
  return separators;
}

struct LocaleDeleter {
  void operator()(locale_t locale) const { freelocale(locale); }
};
using LocalePtr = std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleDeleter>;

// The one byte of a separator text, or 0 when it is empty or longer (a multi-byte space).
char SingleByte(const char* text) {
  return (text != nullptr && std::strlen(text) == 1) ? text[0] : '\0';
}

size_t Pos(const std::string& s, char c) {
  const size_t at = s.find(c);
  return at == std::string::npos ? 0 : at + 1;
}

void Erase(std::string& s, char c) {
  s.erase(std::remove(s.begin(), s.end(), c), s.end());
}

void Replace(std::string& s, char from, char to) {
  std::replace(s.begin(), s.end(), from, to);
}

struct Reading {
  double value = 0;
  size_t errorPos = 0;  // 1-based position of the first offending character; 0 = read
};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads [sign] digits [. digits] [(E|e) [sign] digits] and nothing else, '.' as the point.
Reading ReadDecimal(const std::string& s) {
  const size_t n = s.size();
  size_t i = 0;
  auto skipDigits = [&]() {
    const size_t start = i;
    while (i < n && IsDigit(s[i])) {
      ++i;
    }
    return i - start;
  };
  if (i < n && (s[i] == '+' || s[i] == '-')) {
    ++i;
  }
  size_t mantissaDigits = skipDigits();
  if (i < n && s[i] == '.') {
    ++i;
    mantissaDigits += skipDigits();
  }
  if (mantissaDigits == 0) {
    return {0, i + 1};
  }
  if (i < n && (s[i] == 'E' || s[i] == 'e')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
      ++i;
    }
    if (skipDigits() == 0) {
      return {0, i + 1};
    }
  }
  if (i != n) {
    return {0, i + 1};
  }
  // The global numeric locale may use ',' as its point; read in the C locale whatever it is.
  static const LocalePtr cLocale(newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr)));
  if (!cLocale) {
    return {0, 1};
  }
  return {strtod_l(s.c_str(), nullptr, cLocale.get()), 0};
}

float ToFloat(double value) {
  if (std::isinf(value) || std::fabs(value) > FLT_MAX) {
    return std::copysign(HUGE_VALF, static_cast<float>(std::signbit(value) ? -1 : 1));
  }
  return static_cast<float>(value);
}

}  // namespace

NumberSeparators LocaleNumberSeparators() {
  const LocalePtr locale(newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr)));
  if (!locale) {
    return Normalise({'.', ','});
  }
  return Normalise({SingleByte(nl_langinfo_l(RADIXCHAR, locale.get())),
                    SingleByte(nl_langinfo_l(THOUSEP, locale.get()))});
}

NumberSeparators CurrentNumberSeparators() {
  return Separators();
}

void SetNumberSeparators(NumberSeparators separators) {
  Separators() = Normalise(separators);
}

float TextToNumber(std::string_view text) {
  const NumberSeparators separators = Separators();
  const char d = separators.decimal;
  const char t = separators.thousands;
  const char o = d == ',' ? '.' : ',';

  std::string s(text);
  Erase(s, ' ');
  if (d == t) {
    Erase(s, o);
  }
  size_t pD = Pos(s, d);
  size_t pT = Pos(s, t);
  // A thousands mark followed by exactly three characters is grouping ('1.234' under decimal
  // ','); a bare three-character text lands here too, harmlessly.
  if (static_cast<ptrdiff_t>(pT) == static_cast<ptrdiff_t>(s.size()) - 3) {
    Erase(s, t);
    Replace(s, d, t);
    pD = Pos(s, d);
    pT = Pos(s, t);
  }
  if (pD != 0 && pT != 0) {
    if (pT <= pD) {
      Erase(s, t);
    } else {
      // The marks of the other convention ('1.234,5' under decimal '.'): read them swapped.
      Erase(s, d);
      Replace(s, t, d);
    }
  }
  Replace(s, o, d);

  Reading reading = ReadDecimal(s);
  if (reading.errorPos != 0 && reading.errorPos == Pos(s, d)) {
    Replace(s, d, o);
    reading = ReadDecimal(s);
  }
  if (reading.errorPos != 0) {
    return -1.0F;
  }
  return ToFloat(reading.value);
}

std::optional<int32_t> TextToIntChecked(std::string_view text) {
  const float rounded = std::nearbyint(TextToNumber(text));
  if (!(rounded >= -2147483648.0F && rounded < 2147483648.0F)) {
    return std::nullopt;
  }
  return static_cast<int32_t>(rounded);
}

int32_t TextToInt(std::string_view text) {
  return TextToIntChecked(text).value_or(-1);
}
