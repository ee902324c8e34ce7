#pragma once
// Byte-exact inputs for the renderer tests: little-endian numbers, NUL-terminated texts in one
// or two bytes per character, placed at fixed offsets of a value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes U16(uint16_t value) {
  return {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
}

inline Bytes U32(uint32_t value) {
  return {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>((value >> 8) & 0xFF),
          static_cast<uint8_t>((value >> 16) & 0xFF), static_cast<uint8_t>(value >> 24)};
}

// The text and its NUL.
inline Bytes Ansi(std::string_view text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

// UTF-16LE code units and a NUL unit.
inline Bytes Wide(std::u16string_view text) {
  Bytes bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes bytes;
  for (const Bytes& part : parts)
    bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

// A value of at least `size` zero bytes with each part written at its offset (growing the value
// where a part reaches further).
inline Bytes Place(size_t size, std::initializer_list<std::pair<size_t, Bytes>> parts) {
  Bytes bytes(size, 0);
  for (const auto& [offset, part] : parts) {
    if (bytes.size() < offset + part.size())
      bytes.resize(offset + part.size(), 0);
    std::copy(part.begin(), part.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  return bytes;
}

inline Bytes FromText(std::string_view text) {
  return Bytes(text.begin(), text.end());
}
