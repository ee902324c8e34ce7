#pragma once
// Bounded reading of the bytes of one value (an octet string, a net address, a stream buffer):
// every position past the end reads as zero, so a value shorter than its layout renders
// instead of reading past its end. Also the small number and UTF-16 formatting the renderers share.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// A read-only view of a value's bytes; positions at or past Size() read as 0.
class ValueBytes {
 public:
  explicit ValueBytes(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  [[nodiscard]] std::span<const uint8_t> Span() const { return bytes_; }
  [[nodiscard]] size_t Size() const { return bytes_.size(); }

  [[nodiscard]] uint8_t U8(size_t at) const { return at < bytes_.size() ? bytes_[at] : 0; }
  // Little-endian numbers; bytes past the end count as zero.
  [[nodiscard]] uint16_t U16(size_t at) const;
  [[nodiscard]] uint32_t U32(size_t at) const;
  [[nodiscard]] int32_t I32(size_t at) const { return static_cast<int32_t>(U32(at)); }

  // The number of bytes from `at` to the first NUL (or to the end of the bytes).
  [[nodiscard]] size_t AnsiLength(size_t at) const;
  // The one-byte text at `at` up to its NUL or the end of the bytes; "" when `at` is past the end.
  [[nodiscard]] std::string Ansi(size_t at) const;
  // The UTF-16LE text at `at` up to its NUL unit or the end of the bytes, as UTF-8. A last
  // unit cut in half by the end reads its missing byte as zero.
  [[nodiscard]] std::string Utf16(size_t at) const;
  // HexOfBytes of `count` bytes from `at`, the ones past the end shown as 00; `count` at most
  // 65,535 (more is cut to that).
  [[nodiscard]] std::string Hex(size_t at, size_t count) const;

 private:
  std::span<const uint8_t> bytes_;
};

// The most bytes a hex form of one value shows (the width of HexOfBytes' count).
inline constexpr size_t kMaxShownBytes = 65535;

// HexOfBytes of every byte of `bytes`; past kMaxShownBytes bytes the hex stops and
// "... (<size> bytes)" follows, so a cut value never looks complete.
[[nodiscard]] std::string HexOfValue(std::span<const uint8_t> bytes);

// UTF-16LE code units (as read, up to but without the terminating 0) converted to UTF-8;
// unpaired surrogates become U+FFFD.
[[nodiscard]] std::string Utf8FromUtf16(std::span<const char16_t> units);

// "%d": `value` as signed decimal.
[[nodiscard]] std::string DecText(int64_t value);
// "%X" with at least `minDigits` digits, padded on the left with `pad` ('0' for "%04X",
// ' ' for "%4X"); upper case.
[[nodiscard]] std::string HexNumberText(uint32_t value, int minDigits = 1, char pad = '0');
