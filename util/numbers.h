#pragma once
// The tolerant number reader: texts typed or stored with either separator convention
// ('1.234,5' and '1,234.5') are read as numbers. The locale's decimal and thousands separators
// are read from the environment once, on first use; tests set them explicitly.
#include <cstdint>
#include <optional>
#include <string_view>

struct NumberSeparators {
  char decimal = '.';
  char thousands = ',';
};

// The separators in use. On first use they come from the process environment's numeric locale
// (LC_ALL / LC_NUMERIC / LANG). A decimal mark other than ',' or '.', or a thousands mark that is
// not a single byte (none at all, as in the C locale, or a multi-byte space), is replaced by the
// other one of ',' and '.', so the reader always works with the pair ','/'.' in some order.
[[nodiscard]] NumberSeparators CurrentNumberSeparators();
// Replaces the separators in use (normalised as above); for start-up and tests.
void SetNumberSeparators(NumberSeparators separators);
// The separators the environment's numeric locale gives, normalised as above.
[[nodiscard]] NumberSeparators LocaleNumberSeparators();

// The number a text stands for, stored as a 32-bit float; -1.0 when it is no number. Blanks
// are ignored, either separator convention is accepted ('1.234,5', '1,234.5', '1.5', '1,5'),
// an exponent is allowed ('2.5e3'). A thousands mark after the decimal mark ('1.234,5' under
// decimal '.') is read with the two marks interchanged (1234.5). A value beyond the float range
// gives an infinity.
[[nodiscard]] float TextToNumber(std::string_view text);
// TextToNumber rounded to the nearest integer, ties to the even neighbour ('2.5' gives 2,
// '3.5' gives 4); -1 when the text is no number or the rounded value is outside int32.
[[nodiscard]] int32_t TextToInt(std::string_view text);
// As TextToInt, but a rounded value outside the signed 32-bit range (or an infinity) gives
// std::nullopt so that the caller can fail or skip it; a text that is no number still gives -1.
[[nodiscard]] std::optional<int32_t> TextToIntChecked(std::string_view text);
