#include "render/attr_values.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "directory/client/value_record.h"
#include "tests/render/render_test_bytes.h"
#include "util/times.h"

namespace {

using namespace std::string_literals;

std::vector<std::string> Lines(uint32_t syntax, std::string_view attribute, const Bytes& record) {
  TStringList lines;
  AttrValueLines(syntax, attribute, record, lines);
  return lines.Texts();
}

// A chain of nodes as the client lays it out; `field` writes each node's content.
template <typename Item, typename Field>
Bytes Chain(const std::vector<Item>& items, Field field) {
  ValueRecordWriter writer;
  size_t previous = SIZE_MAX;
  for (const Item& item : items) {
    if (previous != SIZE_MAX)
      writer.LinkNext(previous);
    previous = writer.BeginNode();
    field(writer, item);
  }
  return writer.Take();
}

Bytes TextChain(const std::vector<std::string>& texts) {
  return Chain(texts, [](ValueRecordWriter& w, const std::string& text) { w.Text(text); });
}

struct SyntaxCase {
  const char* label;
  uint32_t syntax;
  std::string attribute;
  Bytes record;
  std::vector<std::string> expected;
};

TEST(AttrValueLines, EachSyntaxGivesItsLines) {
  const Bytes ip = {0x02, 0x0C, 0x0A, 0x00, 0x00, 0x01};
  const Bytes lan = {0xC0, 0xA8, 0x01, 0x02, 0x02, 0x0C};
  const SyntaxCase cases[] = {
      {"unknown syntax 0 shows the name read",
       0,
       "Attr",
       ValueRecordWriter().Text("Stored").U32(9).Counted(Bytes{0xAB, 0xCD}).Take(),
       {"Attr [9] ABCD"}},
      {"distinguished name", 1, "Member", Ansi("admin.org"), {"admin.org"}},
      {"class name", 20, "Object Class", Ansi("rbsRole2"), {"rbsRole2"}},
      // A string's NUL is a byte of it, not its end: the whole text goes on to be checked.
      {"string holding a NUL",
       3,
       "rbsParameters",
       Ansi("k=a\0b;role=Admin"s),
       {"k=a\0b;role=Admin"s}},
      {"email address holding a NUL",
       14,
       "x",
       ValueRecordWriter().U32(1).Text("a\0@b"s).Take(),
       {"a\0@b"s}},
      {"back link holding a NUL", 23, "x", Concat({U32(7), Ansi("s\0.org"s)}), {"s\0.org"s}},
      {"case ignore list in chain order",
       6,
       "x",
       TextChain({"one", "two", "three"}),
       {"one", "two", "three"}},
      {"boolean 2 is true", 7, "x", {2}, {"TRUE"}},
      {"boolean 0 is false", 7, "x", {0}, {"FALSE"}},
      {"integer", 8, "x", U32(static_cast<uint32_t>(-5)), {"-5"}},
      {"counter as stored bits", 22, "x", U32(0xFFFFFFFF), {"-1"}},
      {"octet string by name",
       9,
       "App:Path",
       ValueRecordWriter().Counted(Ansi("C:\\X")).Take(),
       {"C:\\X"}},
      {"facsimile number only",
       11,
       "x",
       ValueRecordWriter().Text("+1 555").U32(8).U8(0xFF).Take(),
       {"+1 555"}},
      {"net address, port first",
       12,
       "x",
       ValueRecordWriter().U32(9).Counted(ip).Take(),
       {"(9) 10.0.0.1:524"}},
      {"net address, port last",
       12,
       "x",
       ValueRecordWriter().U32(1).Counted(lan).Take(),
       {"(1) 192.168.1.2:524"}},
      {"octet list node by node",
       13,
       "Other",
       Chain(std::vector<Bytes>{{0x01}, {}, {0x0A, 0xFF}},
             [](ValueRecordWriter& w, const Bytes& data) { w.Counted(data); }),
       {"01", "", "0AFF"}},
      {"email address", 14, "x", ValueRecordWriter().U32(1).Text("a@b.org").Take(), {"a@b.org"}},
      {"path",
       15,
       "x",
       ValueRecordWriter().I32(4).Text("SYS").Text("PUBLIC\\APPS").Take(),
       {"(4) SYS:PUBLIC\\APPS"}},
      {"replica pointer",
       16,
       "x",
       ValueRecordWriter().Text("SRV1.org").U32(0).I32(1).U32(0).Take(),
       {"SRV1.org [Master] [Nr: 1]"}},
      {"acl on entry rights",
       17,
       "ACL",
       ValueRecordWriter().Text("[Entry Rights]").Text("admin.org").U32(0x1F).Take(),
       {"[BCDRAI] admin.org / \"[Entry Rights]\""}},
      {"acl whose name merely contains entry rights",
       17,
       "ACL",
       ValueRecordWriter().Text("x[Entry Rights]y").Text("u").U32(0x41).Take(),
       {"[B     ] u / \"x[Entry Rights]y\""}},
      {"acl entry rights match exact case only",
       17,
       "ACL",
       ValueRecordWriter().Text("[entry rights]").Text("u").U32(0x02).Take(),
       {"[ R   I] u / \"[entry rights]\""}},
      {"acl on all attributes",
       17,
       "ACL",
       ValueRecordWriter().Text("[All Attributes Rights]").Text("u").U32(0x2F).Take(),
       {"[CRWSAI] u / \"[All Attributes Rights]\""}},
      {"postal address always six lines",
       18,
       "x",
       ValueRecordWriter().U32(2).Text("Street 1").Text("Town").Take(),
       {"Street 1", "Town", "", "", "", ""}},
      {"postal address beyond six lines",
       18,
       "x",
       ValueRecordWriter()
           .U32(7)
           .Text("1")
           .Text("2")
           .Text("3")
           .Text("4")
           .Text("5")
           .Text("6")
           .Text("7")
           .Take(),
       {"1", "2", "3", "4", "5", "6"}},
      {"back link", 23, "x", ValueRecordWriter().U32(77).Text("srv.org").Take(), {"srv.org"}},
      {"typed name", 25, "x", ValueRecordWriter().Text("t.org").U32(1).U32(2).Take(), {"t.org"}},
      {"hold", 26, "x", ValueRecordWriter().Text("user.org").I32(100).Take(), {"user.org (100)"}},
      {"interval 0", 27, "x", U32(0), {"0 sec"}},
      {"interval 90", 27, "x", U32(90), {"1 min, 30 sec"}},
      {"syntax 28 shows its number and the whole record", 28, "x", {0x01, 0x02}, {"[1C] 0102"}},
      {"stream record, should one arrive", 21, "x", {0xFF}, {"[15] FF"}},
      {"syntax far out of range", 0xFFFFFFFF, "x", {}, {"[FFFFFFFF] "}},
  };
  for (const SyntaxCase& c : cases) {
    EXPECT_EQ(Lines(c.syntax, c.attribute, c.record), c.expected) << c.label;
  }
}

TEST(AttrValueLines, TimesAreShownInLocalTime) {
  const auto seconds = ValueRecordWriter().U32(86400 + 3600).U16(1).U16(2).Take();
  EXPECT_EQ(Lines(19, "x", seconds), std::vector<std::string>{UnixTimeText(90000, true)});
  EXPECT_EQ(Lines(24, "x", U32(0)), std::vector<std::string>{UnixTimeText(0, true)});
  // The tests run in UTC, where local and universal time agree.
  EXPECT_EQ(UnixTimeText(90000, true), UnixTimeText(90000, false));
}

// Records cut short, with damaged lengths or chains: the missing bytes read as zero and nothing
// outside the record is touched (the sanitizer builds watch the reads).
TEST(AttrValueLines, ShortAndDamagedRecordsRender) {
  const SyntaxCase cases[] = {
      {"empty path", 15, "x", {}, {"(0) :"}},
      {"string without its NUL", 3, "x", FromText("abc"), {"abc"}},
      {"empty string record", 3, "x", {}, {""}},
      {"path cut inside the volume", 15, "x", Concat({U32(4), FromText("SY")}), {"(4) SY:"}},
      {"empty postal address", 18, "x", {}, {"", "", "", "", "", ""}},
      {"octet length past the record", 9, "Other", Concat({U32(1000), {0xAB}}), {"AB"}},
      {"unknown syntax 0 with a length past the record",
       0,
       "Attr",
       Concat({Ansi("n"), U32(3), U32(0xFFFFFFFF), {0x01}}),
       {"Attr [3] 01"}},
      {"empty case ignore list", 6, "x", {}, {""}},
      {"chain pointing past the record", 6, "x", Concat({U32(6), Ansi("a")}), {"a"}},
      {"chain with a backward link",
       6,
       "x",
       Concat({U32(6), FromText("a"), {0}, U32(2), Ansi("b")}),
       {"a", "b"}},
      {"octet list node cut short", 13, "Other", Concat({U32(0), U32(8), {0x01, 0x02}}), {"0102"}},
      {"net address shorter than its form",
       12,
       "x",
       Concat({U32(1), U32(2), {0x0A, 0x01}}),
       {"(1) 10.1.0.0:0"}},
      {"net address without bytes", 12, "x", Concat({U32(9), U32(0)}), {"(9) "}},
  };
  for (const SyntaxCase& c : cases) {
    EXPECT_EQ(Lines(c.syntax, c.attribute, c.record), c.expected) << c.label;
  }
  // Every syntax number with an empty record and with a single byte renders at least one line.
  for (uint32_t syntax = 0; syntax <= 40; ++syntax) {
    for (const Bytes& record : {Bytes{}, Bytes{0xFF}}) {
      EXPECT_FALSE(Lines(syntax, "x", record).empty()) << syntax;
    }
  }
}

TEST(NetAddressText, EveryAddressForm) {
  struct Case {
    uint32_t type;
    std::optional<Bytes> bytes;
    bool withType;
    std::string expected;
  };
  const Case cases[] = {
      {0, Bytes{0x01, 0x01, 0xA8, 0xC0, 0, 0, 0, 0, 0, 1}, true, "(0) 0101A8C0:000000000001"},
      {0, Bytes{0x01, 0x01, 0xA8, 0xC0, 0, 0, 0, 0, 0, 1}, false, "0101A8C0:000000000001"},
      {7, Bytes{10, 0, 0, 1, 0x1F, 0x90}, true, "(7) 10.0.0.1:8080"},
      {11, Bytes{1, 2, 3, 4, 0, 80}, true, "(11) 1.2.3.4:80"},
      {8, Bytes{0x00, 0x50, 127, 0, 0, 1}, true, "(8) 127.0.0.1:80"},
      {13, Concat({Wide(u"host.example"), {0xFF, 0xFF}}), true, "(13) host.example"},
      {3, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, true, "(3) [0102030405060708090A0B0C]"},
      // A form without a text of its own always names its type.
      {14, Bytes{0xAA}, false, "(14) [AA0000000000000000000000]"},
      {9, std::nullopt, true, "(9) "},
      {9, std::nullopt, false, ""},
      {0xFFFFFFFF, std::nullopt, true, "(-1) "},
  };
  for (const Case& c : cases) {
    const auto bytes = c.bytes.has_value()
                           ? std::optional<std::span<const uint8_t>>(std::span(*c.bytes))
                           : std::nullopt;
    EXPECT_EQ(NetAddressText(c.type, bytes, c.withType), c.expected) << c.type;
  }
}

TEST(RightsLetters, EntryAndAttributeRows) {
  struct Case {
    uint32_t privileges;
    RightsKind kind;
    const char* expected;
  };
  const Case cases[] = {
      {0x20, RightsKind::kEntry, "[     I]"},  // attribute-only bit
      {0xFFFFFFFF, RightsKind::kEntry, "[BCDRA ]"},
      {0x10, RightsKind::kAttribute, "[     I]"},  // entry-only bit
      {0x6F, RightsKind::kAttribute, "[CRWSA ]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RightsLetters(c.privileges, c.kind), c.expected) << c.privileges;
  }
}

TEST(ReplicaTypeText, KnownTypesAndTheRest) {
  const std::pair<uint32_t, const char*> cases[] = {{0, "Master"},
                                                    {1, "Secondary"},
                                                    {2, "Read-Only"},
                                                    {3, "Subordinate Reference"},
                                                    {4, "Unknown (Type: 4)"},
                                                    {5, "Unknown (Type: 5)"},
                                                    {255, "Unknown (Type: 255)"}};
  for (const auto& [type, expected] : cases)
    EXPECT_EQ(ReplicaTypeText(type), expected) << type;
}

}  // namespace
