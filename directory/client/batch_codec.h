#pragma once
// The byte layout of the batches a result buffer holds: 32-bit numbers least significant byte
// first, texts ended by a NUL, one record per object of a listing or search and, for a read, per
// attribute with its values behind it. Readers never step outside the bytes they are given:
// bytes past the end read as zero and a text ends at the end of the bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Appends `value`, least significant byte first.
void PutU32(std::vector<uint8_t>& out, uint32_t value);
// Overwrites the four bytes at `at` with `value`; those of them past the end of `out` are left
// unwritten.
void SetU32(std::span<uint8_t> out, size_t at, uint32_t value);
// Appends `text` and a NUL; a NUL inside `text` ends it for a reader.
void PutText(std::vector<uint8_t>& out, std::string_view text);
// The number at `at`; bytes past the end of `data` read as zero, so an `at` at or past the end
// gives 0.
[[nodiscard]] uint32_t GetU32(std::span<const uint8_t> data, size_t at);
// The text from `at` up to its NUL or the end of `data`; `at` moves one past the NUL (one past
// the end when the text has none).
[[nodiscard]] std::string GetText(std::span<const uint8_t> data, size_t& at);

// One object of a listing or search: four numbers, then its name and base class.
struct ObjectRecord {
  uint32_t flags = 0;
  uint32_t subordinateCount = 0;
  uint32_t modificationTime = 0;
  uint32_t attributeCount = 0;
  std::string name;
  std::string baseClass;
};

void PutObjectRecord(std::vector<uint8_t>& out, const ObjectRecord& record);
// The record at `at`, which moves past it.
[[nodiscard]] ObjectRecord GetObjectRecord(std::span<const uint8_t> data, size_t& at);

// The head of one attribute of a read: its name, its syntax and how many values follow it.
struct AttributeHeader {
  std::string name;
  uint32_t syntax = 0;
  uint32_t valueCount = 0;
};

// The bytes the head of an attribute named `name` takes.
[[nodiscard]] size_t AttributeHeaderSize(std::string_view name);
// Appends the head; the position of its value count, for SetU32 once the values are known.
size_t PutAttributeHeader(std::vector<uint8_t>& out, const AttributeHeader& header);
// The head at `at`, which moves past it.
[[nodiscard]] AttributeHeader GetAttributeHeader(std::span<const uint8_t> data, size_t& at);

// The bytes one value of `size` bytes takes: its 32-bit size, then the value.
[[nodiscard]] constexpr size_t ValueSize(size_t size) {
  return 4 + size;
}
void PutValue(std::vector<uint8_t>& out, std::span<const uint8_t> value);
// The value at `at`, which moves past it; nullopt, with `at` unmoved, when its size reaches past
// the end of `data`.
[[nodiscard]] std::optional<std::span<const uint8_t>> GetValue(std::span<const uint8_t> data,
                                                               size_t& at);
// Moves `at` past the value there, whatever its size says.
void SkipValue(std::span<const uint8_t> data, size_t& at);
