// Walks every entry of the built-in sample tree through the directory client and renders every
// value of every attribute: whatever the client delivers, each value gives lines and nothing
// fails or reads outside its record (the sanitizer builds watch the reads).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"
#include "render/attr_values.h"
#include "render/named_attributes.h"
#include "tests/support/test_client.h"
#include "util/string_list.h"

namespace {

constexpr uint32_t kResultBufferSize = 64512;
constexpr uint32_t kStreamSyntax = 21;

// A client buffer released on every way out.
class ClientBuffer {
 public:
  ClientBuffer(DirClient& client, uint32_t size) : client_(client) {
    code_ = client_.DirAllocBuffer(size, handle_);
  }
  ~ClientBuffer() {
    if (code_ == kDirOk)
      (void)client_.DirFreeBuffer(handle_);
  }
  ClientBuffer(const ClientBuffer&) = delete;
  ClientBuffer& operator=(const ClientBuffer&) = delete;
  [[nodiscard]] int32_t Code() const { return code_; }
  [[nodiscard]] DirBuffer Handle() const { return handle_; }

 private:
  DirClient& client_;
  DirBuffer handle_ = 0;
  int32_t code_ = kDirOk;
};

class SampleTreeWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(tree_.Code(), kDirConnectionOk);
    ASSERT_EQ(client_.DirCreateContext(context_), kDirOk);
    ASSERT_EQ(client_.DirSetContextValue(context_, kDirKeyNameContext, std::string("[Root]")),
              kDirOk);
  }

  void TearDown() override { (void)client_.DirFreeContext(context_); }

  // The complete names of every entry below `base`, depth first.
  void CollectEntries(const std::string& base, std::vector<std::string>& names) {
    ClientBuffer result(client_, kResultBufferSize);
    ASSERT_EQ(result.Code(), kDirOk);
    int32_t iteration = -1;
    do {
      ASSERT_EQ(client_.DirListSubordinates(context_, base, iteration, result.Handle()), kDirOk)
          << base;
      uint32_t count = 0;
      ASSERT_EQ(client_.DirGetObjectCount(context_, result.Handle(), count), kDirOk);
      std::vector<std::pair<std::string, bool>> children;
      for (uint32_t i = 0; i < count; ++i) {
        std::string name;
        uint32_t attributeCount = 0;
        DirObjectInfo info;
        ASSERT_EQ(client_.DirGetObjectName(context_, result.Handle(), name, attributeCount, info),
                  kDirOk);
        children.emplace_back(name, info.subordinateCount > 0);
      }
      for (const auto& [name, hasChildren] : children) {
        names.push_back(name);
        if (hasChildren)
          CollectEntries(name, names);
      }
    } while (iteration != -1);
  }

  std::string ReadStreamText(const std::string& object, const std::string& attribute) {
    int handle = -1;
    if (client_.DirOpenStream(context_, object, attribute, 1, handle) != kDirOk)
      return {};
    std::vector<uint8_t> buffer(kStreamBufferSize, 0);
    const ssize_t got = ::read(handle, buffer.data(), buffer.size());
    ::close(handle);
    EXPECT_GE(got, 0) << object << " " << attribute;
    return StreamDisplayText(buffer, got < 0 ? 0 : static_cast<size_t>(got), attribute);
  }

  TempFolder folder_;
  TestClient tree_{folder_, OneConnection("SAMPLE", "sample")};
  DirSession& client_ = tree_.Client();
  DirContext context_ = 0;
};

TEST_F(SampleTreeWalk, EveryValueOfEveryEntryRenders) {
  std::vector<std::string> entries;
  CollectEntries("[Root]", entries);
  ASSERT_FALSE(entries.empty());

  std::map<uint32_t, int> valuesBySyntax;
  for (const std::string& entry : entries) {
    ClientBuffer result(client_, kResultBufferSize);
    ASSERT_EQ(result.Code(), kDirOk);
    int32_t iteration = -1;
    do {
      ASSERT_EQ(client_.DirRead(context_, entry, 1, 1, 0, iteration, result.Handle()), kDirOk)
          << entry;
      uint32_t attributes = 0;
      ASSERT_EQ(client_.DirGetAttributeCount(context_, result.Handle(), attributes), kDirOk);
      for (uint32_t a = 0; a < attributes; ++a) {
        std::string name;
        uint32_t valueCount = 0;
        uint32_t syntax = 0;
        ASSERT_EQ(client_.DirGetAttributeName(context_, result.Handle(), name, valueCount, syntax),
                  kDirOk);
        if (syntax == kStreamSyntax) {
          EXPECT_EQ(ReadStreamText(entry, name).rfind("Stream (", 0), 0u) << entry << " " << name;
          ++valuesBySyntax[syntax];
          continue;
        }
        for (uint32_t v = 0; v < valueCount; ++v) {
          uint32_t size = 0;
          ASSERT_EQ(client_.DirComputeValueSize(context_, result.Handle(), syntax, size), kDirOk);
          std::vector<uint8_t> record(size);
          ASSERT_EQ(client_.DirGetValue(context_, result.Handle(), syntax, record), kDirOk);
          TStringList lines;
          EXPECT_NO_THROW(AttrValueLines(syntax, name, record, lines)) << entry << " " << name;
          EXPECT_GE(lines.Count(), 1) << entry << " " << name;
          ++valuesBySyntax[syntax];
        }
      }
    } while (iteration != -1);
  }
  // The walk reached real values of several kinds, not just names.
  EXPECT_GE(valuesBySyntax.size(), 4u);
  for (const auto& [syntax, count] : valuesBySyntax) {
    std::printf("syntax %u: %d values\n", syntax, count);
  }
}

}  // namespace
