#include "render/value_bytes.h"

#include <algorithm>
#include <vector>

#include "directory/client/value_record.h"
#include "util/text.h"

uint16_t ValueBytes::U16(size_t at) const {
  ValueRecordReader reader(bytes_, at);
  return reader.ReadU16();
}

uint32_t ValueBytes::U32(size_t at) const {
  ValueRecordReader reader(bytes_, at);
  return reader.ReadU32();
}

size_t ValueBytes::AnsiLength(size_t at) const {
  size_t length = 0;
  while (at + length < bytes_.size() && bytes_[at + length] != 0)
    ++length;
  return length;
}

std::string ValueBytes::Ansi(size_t at) const {
  if (at >= bytes_.size())
    return {};
  const auto text = bytes_.subspan(at, AnsiLength(at));
  return {text.begin(), text.end()};
}

std::string ValueBytes::Utf16(size_t at) const {
  std::vector<char16_t> units;
  for (size_t pos = at; pos < bytes_.size(); pos += 2) {
    const auto unit = static_cast<char16_t>(U16(pos));
    if (unit == 0)
      break;
    units.push_back(unit);
  }
  return Utf8FromUtf16(units);
}

std::string ValueBytes::Hex(size_t at, size_t count) const {
  count = std::min(count, kMaxShownBytes);
  std::vector<uint8_t> padded(count, 0);
  for (size_t i = 0; i < count && at < bytes_.size() && i < bytes_.size() - at; ++i) {
    padded[i] = bytes_[at + i];
  }
  return HexOfBytes(padded, static_cast<uint16_t>(count));
}

std::string HexOfValue(std::span<const uint8_t> bytes) {
  if (bytes.size() <= kMaxShownBytes) {
    return HexOfBytes(bytes, static_cast<uint16_t>(bytes.size()));
  }
  return HexOfBytes(bytes, static_cast<uint16_t>(kMaxShownBytes)) + "... (" +
         std::to_string(bytes.size()) + " bytes)";
}

namespace {

void AppendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

constexpr uint32_t kReplacementCharacter = 0xFFFD;

bool IsHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

// The standard library's converters for this are deprecated and the system code page is UTF-8,
// so the few lines of the encoding are written out here.
std::string Utf8FromUtf16(std::span<const char16_t> units) {
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (IsHighSurrogate(unit) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      const uint32_t high = unit - 0xD800u;
      const uint32_t low = units[i + 1] - 0xDC00u;
      AppendUtf8(out, 0x10000u + (high << 10) + low);
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(out, kReplacementCharacter);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::string DecText(int64_t value) {
  return std::to_string(value);
}

std::string HexNumberText(uint32_t value, int minDigits, char pad) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  if (static_cast<int>(digits.size()) < minDigits) {
    digits.insert(digits.begin(), static_cast<size_t>(minDigits) - digits.size(), pad);
  }
  return digits;
}
