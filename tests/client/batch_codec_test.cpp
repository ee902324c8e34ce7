// The batch layout on its own: numbers and texts at and past the end of the bytes, the object and
// attribute records in the exact bytes callers' buffers hold, and values whose size lies.
#include "directory/client/batch_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(BatchCodec, NumbersReadAsZeroPastTheEnd) {
  const Bytes data = {0x78, 0x56, 0x34, 0x12, 0xAB};
  struct Case {
    size_t at;
    uint32_t expected;
  };
  const Case cases[] = {
      {0, 0x12345678}, {1, 0xAB123456}, {2, 0x00AB1234},   {4, 0x000000AB},
      {5, 0},          {6, 0},          {SIZE_MAX - 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    EXPECT_EQ(GetU32(data, c.at), c.expected);
  }
  EXPECT_EQ(GetU32({}, 0), 0u);

  Bytes out;
  PutU32(out, 0x12345678);
  EXPECT_EQ(out, Bytes({0x78, 0x56, 0x34, 0x12}));
  Bytes patched = {0, 0, 0, 0, 0, 0};
  SetU32(patched, 1, 0xA1B2C3D4);
  EXPECT_EQ(patched, Bytes({0, 0xD4, 0xC3, 0xB2, 0xA1, 0}));
  SetU32(patched, 4, 0x11223344);  // the two bytes past the end are not written
  EXPECT_EQ(patched, Bytes({0, 0xD4, 0xC3, 0xB2, 0x44, 0x33}));
}

TEST(BatchCodec, TextsEndAtTheirNulOrTheEndOfTheBytes) {
  Bytes data;
  PutText(data, "ab");
  PutText(data, "");
  data.push_back('c');  // no NUL after it
  EXPECT_EQ(data, Bytes({'a', 'b', 0, 0, 'c'}));
  size_t at = 0;
  EXPECT_EQ(GetText(data, at), "ab");
  EXPECT_EQ(at, 3u);
  EXPECT_EQ(GetText(data, at), "");
  EXPECT_EQ(at, 4u);
  EXPECT_EQ(GetText(data, at), "c");
  EXPECT_EQ(at, 6u);
  EXPECT_EQ(GetText(data, at), "");  // past the end: nothing read
  EXPECT_EQ(at, 7u);
}

TEST(BatchCodec, ObjectRecordsHaveTheirLayoutAndReadBack) {
  const ObjectRecord record{0x04, 3, 0x01020304, 0, "CN=Admin.O=Acme", "User"};
  Bytes data;
  PutObjectRecord(data, record);
  Bytes expected = {4, 0, 0, 0, 3, 0, 0, 0, 4, 3, 2, 1, 0, 0, 0, 0};
  for (const char c : std::string("CN=Admin.O=Acme"))
    expected.push_back(static_cast<uint8_t>(c));
  expected.push_back(0);
  for (const char c : std::string("User"))
    expected.push_back(static_cast<uint8_t>(c));
  expected.push_back(0);
  EXPECT_EQ(data, expected);

  PutObjectRecord(data, ObjectRecord{0, 0, 0, 0, "Second", ""});
  size_t at = 0;
  const ObjectRecord first = GetObjectRecord(data, at);
  EXPECT_EQ(first.flags, 0x04u);
  EXPECT_EQ(first.subordinateCount, 3u);
  EXPECT_EQ(first.modificationTime, 0x01020304u);
  EXPECT_EQ(first.name, "CN=Admin.O=Acme");
  EXPECT_EQ(first.baseClass, "User");
  EXPECT_EQ(at, expected.size());
  EXPECT_EQ(GetObjectRecord(data, at).name, "Second");
  EXPECT_EQ(at, data.size());

  // A record cut short reads what is there and zeros, never outside the bytes.
  const Bytes cut(data.begin(), data.begin() + 10);
  at = 0;
  const ObjectRecord partial = GetObjectRecord(cut, at);
  EXPECT_EQ(partial.flags, 0x04u);
  EXPECT_EQ(partial.modificationTime, 0x0304u);
  EXPECT_EQ(partial.name, "");
}

TEST(BatchCodec, AttributesCarryTheirValuesAndTheValueSizesAreChecked) {
  Bytes data;
  const size_t countAt = PutAttributeHeader(data, AttributeHeader{"Surname", 3, 0});
  EXPECT_EQ(data.size(), AttributeHeaderSize("Surname"));
  PutValue(data, Bytes{'x', 'y'});
  PutValue(data, Bytes{});
  SetU32(data, countAt, 2);
  EXPECT_EQ(data.size(), AttributeHeaderSize("Surname") + ValueSize(2) + ValueSize(0));

  size_t at = 0;
  const AttributeHeader header = GetAttributeHeader(data, at);
  EXPECT_EQ(header.name, "Surname");
  EXPECT_EQ(header.syntax, 3u);
  EXPECT_EQ(header.valueCount, 2u);
  const size_t firstValue = at;
  const auto value = GetValue(data, at);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(Bytes(value->begin(), value->end()), Bytes({'x', 'y'}));
  ASSERT_TRUE(GetValue(data, at).has_value());
  EXPECT_EQ(at, data.size());
  size_t skipped = firstValue;
  SkipValue(data, skipped);
  EXPECT_EQ(skipped, firstValue + ValueSize(2));

  // A size that reaches one byte past the end, or far past it, gives no value and no move;
  // exactly to the end is a value.
  struct Case {
    uint32_t size;
    size_t bytes;
    bool delivered;
  };
  const Case cases[] = {{3, 3, true}, {4, 3, false}, {0, 0, true}, {UINT32_MAX, 8, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    Bytes lying;
    PutU32(lying, c.size);
    lying.resize(4 + c.bytes, 0x55);
    size_t from = 0;
    const auto got = GetValue(lying, from);
    EXPECT_EQ(got.has_value(), c.delivered);
    EXPECT_EQ(from, c.delivered ? lying.size() : 0u);
  }
  size_t from = 2;  // not even the size fits
  EXPECT_FALSE(GetValue(Bytes{1, 0, 0}, from).has_value());
  EXPECT_EQ(from, 2u);
}

}  // namespace
