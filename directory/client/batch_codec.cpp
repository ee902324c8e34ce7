#include "directory/client/batch_codec.h"

#include <algorithm>
#include <array>

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  const std::array<uint8_t, 4> bytes = {
      static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>((value >> 8) & 0xFF),
      static_cast<uint8_t>((value >> 16) & 0xFF), static_cast<uint8_t>((value >> 24) & 0xFF)};
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void SetU32(std::span<uint8_t> out, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4 && at + i < out.size(); ++i)
    out[at + i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
}

void PutText(std::vector<uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

uint32_t GetU32(std::span<const uint8_t> data, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (at < data.size() && i < data.size() - at)
      value |= uint32_t{data[at + i]} << (8 * i);
  }
  return value;
}

std::string GetText(std::span<const uint8_t> data, size_t& at) {
  if (at >= data.size()) {
    ++at;
    return {};
  }
  const uint8_t* start = data.data() + at;
  const uint8_t* end = std::find(start, data.data() + data.size(), 0);
  at += static_cast<size_t>(end - start) + 1;
  return std::string(reinterpret_cast<const char*>(start), static_cast<size_t>(end - start));
}

void PutObjectRecord(std::vector<uint8_t>& out, const ObjectRecord& record) {
  PutU32(out, record.flags);
  PutU32(out, record.subordinateCount);
  PutU32(out, record.modificationTime);
  PutU32(out, record.attributeCount);
  PutText(out, record.name);
  PutText(out, record.baseClass);
}

ObjectRecord GetObjectRecord(std::span<const uint8_t> data, size_t& at) {
  ObjectRecord record;
  record.flags = GetU32(data, at);
  record.subordinateCount = GetU32(data, at + 4);
  record.modificationTime = GetU32(data, at + 8);
  record.attributeCount = GetU32(data, at + 12);
  at += 16;
  record.name = GetText(data, at);
  record.baseClass = GetText(data, at);
  return record;
}

size_t AttributeHeaderSize(std::string_view name) {
  return name.size() + 1 + 8;
}

size_t PutAttributeHeader(std::vector<uint8_t>& out, const AttributeHeader& header) {
  PutText(out, header.name);
  PutU32(out, header.syntax);
  const size_t countAt = out.size();
  PutU32(out, header.valueCount);
  return countAt;
}

AttributeHeader GetAttributeHeader(std::span<const uint8_t> data, size_t& at) {
  AttributeHeader header;
  header.name = GetText(data, at);
  header.syntax = GetU32(data, at);
  header.valueCount = GetU32(data, at + 4);
  at += 8;
  return header;
}

void PutValue(std::vector<uint8_t>& out, std::span<const uint8_t> value) {
  PutU32(out, static_cast<uint32_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
}

std::optional<std::span<const uint8_t>> GetValue(std::span<const uint8_t> data, size_t& at) {
  const size_t size = GetU32(data, at);
  const size_t start = at + 4;
  if (start > data.size() || size > data.size() - start)
    return std::nullopt;
  at = start + size;
  return data.subspan(start, size);
}

void SkipValue(std::span<const uint8_t> data, size_t& at) {
  at += ValueSize(GetU32(data, at));
}
