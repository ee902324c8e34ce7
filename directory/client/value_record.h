#pragma once
// The byte layout of one attribute value as DirGetValue delivers it: fields one after the other,
// little-endian numbers, texts NUL-terminated inside the record, octet data as a u32 length and
// its bytes, chains as nodes that start with the u32 offset of the next node (0 ends the chain).
//
// Layouts by syntax number (the fields in the order the renderer reads them):
//   0  Unknown           text attribute name, u32 syntax, u32 length, bytes
//   1-5, 10, 20          text (the whole record less its last NUL: NUL bytes inside stay)
//   6  Case Ignore List  nodes: u32 next, text
//   7  Boolean           byte
//   8, 22 Integer/Counter i32
//   9  Octet String      u32 length, bytes
//   11 Facsimile         text number, u32 bit count, bytes (bits)
//   12 Net Address       u32 type, u32 length, bytes
//   13 Octet List        nodes: u32 next, u32 length, bytes
//   14 EMail Address     u32 type, text address
//   15 Path              i32 name-space type, text volume, text path
//   16 Replica Pointer   text server, u32 replica type, i32 replica number, u32 address count,
//                        then per address: u32 type, u32 length, bytes
//   17 Object ACL        text protected attribute, text subject, u32 privileges
//   18 Postal Address    u32 line count, then that many texts (renderers show six)
//   19 Timestamp         u32 seconds, u16 replica number, u16 event
//   23 Back Link         u32 remote id, text object name
//   24 Time              u32 seconds
//   25 Typed Name        text object name, u32 level, u32 interval
//   26 Hold              text object name, i32 amount
//   27 Interval          u32 seconds
//   21 Stream            no record: the content is read through DirOpenStream
//
// The reader never reads past the record: a field beyond its end reads as zero (numbers), as the
// empty text, or as the bytes that are there followed by zeros.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Reads the fields of one value record in order, bounds-checked.
class ValueRecordReader {
 public:
  explicit ValueRecordReader(std::span<const uint8_t> record, size_t offset = 0)
      : record_(record), offset_(offset) {}

  [[nodiscard]] size_t Offset() const { return offset_; }
  [[nodiscard]] size_t Size() const { return record_.size(); }
  // True when the cursor has reached or passed the end of the record.
  [[nodiscard]] bool AtEnd() const { return offset_ >= record_.size(); }
  void Seek(size_t offset) { offset_ = offset; }

  [[nodiscard]] uint8_t ReadU8() { return static_cast<uint8_t>(ReadLittleEndian(1)); }
  [[nodiscard]] uint16_t ReadU16() { return static_cast<uint16_t>(ReadLittleEndian(2)); }
  [[nodiscard]] uint32_t ReadU32() { return static_cast<uint32_t>(ReadLittleEndian(4)); }
  [[nodiscard]] int32_t ReadI32() { return static_cast<int32_t>(ReadU32()); }

  // The text from the cursor to its NUL (or to the end of the record); the cursor moves past
  // the NUL.
  [[nodiscard]] std::string ReadText() {
    if (offset_ >= record_.size()) {
      Advance(1);
      return {};
    }
    const uint8_t* start = record_.data() + offset_;
    const uint8_t* end = std::find(start, record_.data() + record_.size(), 0);
    offset_ += static_cast<size_t>(end - start);
    Advance(1);
    return std::string(reinterpret_cast<const char*>(start), static_cast<size_t>(end - start));
  }

  // The text that ends the record: every byte from the cursor to the end, NUL bytes included,
  // less the one NUL that terminates it. A string value may hold a NUL, and a text that no
  // field follows has no need to stop at the first one.
  [[nodiscard]] std::string ReadLastText() {
    const size_t start = std::min(offset_, record_.size());
    size_t end = record_.size();
    if (end > start && record_[end - 1] == 0) {
      --end;
    }
    offset_ = std::max(offset_, record_.size());
    return std::string(reinterpret_cast<const char*>(record_.data()) + start, end - start);
  }

  // The next `count` bytes, or fewer where the record ends first: nothing beyond the record is
  // returned, so callers see how many bytes really exist.
  [[nodiscard]] std::span<const uint8_t> ReadBytes(size_t count) {
    const size_t start = std::min(offset_, record_.size());
    const size_t take = std::min(count, record_.size() - start);
    Advance(count);
    return record_.subspan(start, take);
  }

 private:
  void Advance(size_t count) { offset_ = count > SIZE_MAX - offset_ ? SIZE_MAX : offset_ + count; }

  uint64_t ReadLittleEndian(int width) {
    uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
      if (offset_ < record_.size())
        value |= static_cast<uint64_t>(record_[offset_]) << (8 * i);
      Advance(1);
    }
    return value;
  }

  std::span<const uint8_t> record_;
  size_t offset_;
};

// Builds a value record field by field; the client uses it, tests use it to make exact inputs.
class ValueRecordWriter {
 public:
  ValueRecordWriter() = default;
  // A writer with room for `bytes` bytes, so that a record of about that size is built without
  // growing.
  explicit ValueRecordWriter(size_t bytes) { bytes_.reserve(bytes); }

  ValueRecordWriter& U8(uint8_t value) {
    bytes_.push_back(value);
    return *this;
  }
  ValueRecordWriter& U16(uint16_t value) { return LittleEndian(value, 2); }
  ValueRecordWriter& U32(uint32_t value) { return LittleEndian(value, 4); }
  ValueRecordWriter& I32(int32_t value) { return U32(static_cast<uint32_t>(value)); }
  // The text and its terminating NUL; an embedded NUL ends the text as ReadText sees it, and
  // stays in it for ReadLastText.
  ValueRecordWriter& Text(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    bytes_.push_back(0);
    return *this;
  }
  ValueRecordWriter& Bytes(std::span<const uint8_t> data) {
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return *this;
  }
  // A u32 length followed by the data.
  ValueRecordWriter& Counted(std::span<const uint8_t> data) {
    U32(static_cast<uint32_t>(data.size()));
    return Bytes(data);
  }
  // Starts a chain node: a u32 placeholder for the next node's offset. Returns the
  // placeholder's offset, to pass to LinkNext when the following node begins.
  size_t BeginNode() {
    const size_t at = bytes_.size();
    U32(0);
    return at;
  }
  // Points the node whose placeholder is at `placeholder` to the current end of the record.
  void LinkNext(size_t placeholder) {
    const auto next = static_cast<uint32_t>(bytes_.size());
    for (int i = 0; i < 4; ++i)
      bytes_[placeholder + static_cast<size_t>(i)] = (next >> (8 * i)) & 0xFF;
  }

  [[nodiscard]] const std::vector<uint8_t>& Bytes() const { return bytes_; }
  [[nodiscard]] std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  ValueRecordWriter& LittleEndian(uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
      bytes_.push_back(static_cast<uint8_t>((value >> (8 * i)) & 0xFF));
    return *this;
  }

  std::vector<uint8_t> bytes_;
};
