#include "render/named_attributes.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/render/render_test_bytes.h"
#include "util/times.h"

namespace {

struct OctetCase {
  const char* label;
  std::string attribute;
  Bytes data;
  std::string expected;
};

Bytes PrinterWords(std::initializer_list<std::pair<size_t, uint16_t>> words,
                   std::initializer_list<std::pair<size_t, Bytes>> texts) {
  Bytes bytes = Place(320, texts);
  for (const auto& [index, value] : words) {
    const Bytes word = U16(value);
    bytes[2 * index] = word[0];
    bytes[2 * index + 1] = word[1];
  }
  return bytes;
}

const std::string kTail =
    " / Text / Service Interval: 5 / Buffer Size: 3kB / Starting Form: 0 / Form Change: as "
    "needed / Driver Name: PCL\r\n";

TEST(OctetValueText, RendersEachKnownLayoutAndFallsBackToHex) {
  const OctetCase cases[] = {
      {"text up to NUL, name case ignored", "app:path", Concat({Ansi("C:\\APP\\X.EXE"), {1, 2}}),
       "C:\\APP\\X.EXE"},
      {"text rows later in the list", "RBSTASKRIGHTS", FromText("rights"), "rights"},
      {"longer name falls through to hex", "App:PathX", {0xDE, 0xAD}, "DEAD"},
      {"empty unlisted value", "Description", {}, ""},
      {"bindery property, empty value as trimmed hex", "Bindery Property",
       Place(55, {{5, Ansi("PROP")}, {47, {0x00, 0x12, 0x34, 0x00}}}), "PROP: 001234"},
      {"bindery property with a text value", "bindery property",
       Place(55, {{5, Ansi("PROP")}, {47, Ansi("VAL")}}), "PROP: VAL"},
      {"bindery property shorter than its layout", "Bindery Property", Place(8, {{5, Ansi("AB")}}),
       "AB: "},
      {"trap description lines", "snmpTrapDescription", Concat({Ansi("one"), Ansi("two")}),
       "one\r\ntwo\r\n"},
      {"public key", "Public Key",
       Place(0, {{0, U32(1)},
                 {4, U32(0xAB)},
                 {8, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
                 {22, U32(0x10)},
                 {26, Wide(u"Key")}}),
       "[1,AB,000102030405060708090A0B0C0D,10] Key"},
      {"member query", "memberQuery", Place(0, {{0, U32(7)}, {12, Wide(u"Q")}}),
       "Q - 07000000000000000000000051000000"},
      {"inventory interrupt", "WM:INV Interrupt",
       Place(0, {{0, U32(5)}, {4, U32(1)}, {8, U32(0xFFFFFFFF)}, {12, U32(3)}, {16, Wide(u"IRQ")}}),
       "[05,1,-1,3] IRQ"},
      {"inventory port", "WM:INV Port",
       Place(0, {{0, U16(0x3F8)}, {4, U32(8)}, {8, U32(0)}, {12, U32(2)}, {16, Wide(u"COM1")}}),
       "[03F8,8,0,2] COM1"},
      {"inventory cpu", "WM:INV CPU Information", Place(0, {{0, U32(686)}, {8, Wide(u"x86")}}),
       "[686] x86"},
      {"inventory volume", "WM:INV Volume",
       Place(0, {{0, U32(0xA0000)},
                 {4, U32(0xFFFF)},
                 {8, U32(1)},
                 {12, U32(0)},
                 {16, U32(0x1F)},
                 {20, Wide(u"VOL")}}),
       "[A0000,FFFF,1,0,1F] VOL"},
      {"gateway location", "NGW: Location",
       Place(0, {{0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}}, {13, Ansi("Here")}}),
       "[0102030405060708090A0B0C0D] Here"},
      {"folder list", "App:Folder List",
       Place(0, {{0, U32(1)}, {4, U32(2)}, {8, U32(10)}, {12, Ansi("Tools")}}), "(1/2/A) Tools"},
      {"file system rights path", "App:FS Rights Path",
       Place(0, {{0, U32(1)}, {4, U32(2)}, {8, U32(3)}, {12, {0x1F}}, {13, Ansi("SYS:APPS")}}),
       "(1/2/3/1F) SYS:APPS"},
      {"configuration entry ends with a blank", "bhConfig",
       Place(0, {{0, U32(7)}, {4, Ansi("abc")}, {92, Ansi("def")}}), "[7] abc def "},
      {"user add", "FW0 USER ADD", Place(0, {{15, Ansi("jdoe")}}), "jdoe"},
      {"replica vector", "Transitive Vector",
       Place(0, {{0, U32(1)}, {4, U32(2)}, {8, U32(0x12345)}, {12, Wide(u"SRV1")}}),
       "(0001/0002/12345) SRV1"},
      {"UTF-16 beyond ASCII, surrogate pair and a lone surrogate", "Local Received Up To",
       Place(12, {{12, {0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xD8}}}),
       "(0000/0000/0000) \xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD"},
      {"printer, parallel", "Printer Configuration",
       PrinterWords({{0, 1}, {24, 0}, {26, 0}, {25, 1}, {5, 0}, {4, 5}, {2, 3}, {1, 0}, {3, 0}},
                    {{16, Ansi("PCL")}}),
       "Parallel (LPT1:) / Polling / Auto load" + kTail},
      {"printer, serial", "Printer Configuration",
       PrinterWords({{0, 2},
                     {24, 1},
                     {26, 1},
                     {27, 4},
                     {28, 1},
                     {29, 5},
                     {30, 8},
                     {31, 1},
                     {32, 2},
                     {4, 5},
                     {2, 3}},
                    {{16, Ansi("PCL")}}),
       "Serial (COM2:) / IRQ 4 / Manual load / Xon/Xoff  / 9600 bd / 8 Data bits / 1.5 Stop "
       "bits / odd parity" +
           kTail},
      {"printer, apple", "Printer Configuration",
       PrinterWords({{0, 4}, {4, 5}, {2, 3}},
                    {{16, Ansi("PCL")}, {48, Ansi("Zone")}, {82, Ansi("Type")}, {116, Ansi("Nm")}}),
       "Apple Zone Nm (Type)" + kTail},
      {"printer, unix", "Printer Configuration",
       PrinterWords({{0, 5}, {4, 5}, {2, 3}},
                    {{16, Ansi("PCL")}, {48, Ansi("h")}, {304, Ansi("q")}}),
       "Unix h/q" + kTail},
      {"printer, unknown kind and tables out of range", "Printer Configuration",
       PrinterWords({{0, 9}, {3, 4}, {5, 1}}, {}),
       "n/a / Postscript / Service Interval: 0 / Buffer Size: 0kB / Starting Form: 0 / Form "
       "Change: n/a / Driver Name: \r\n"},
  };
  for (const OctetCase& c : cases) {
    EXPECT_EQ(OctetValueText(c.data, c.attribute), c.expected) << c.label;
  }
}

TEST(OctetValueText, PartitionStatusSpacing) {
  const auto status = [](uint32_t state, uint32_t error) {
    return Place(0, {{4, U32(state)},
                     {8, U32(86400)},
                     {12, U32(3)},
                     {16, U32(error)},
                     {28, Wide(u"OU=Sales.O=Acme")}});
  };
  const std::string head =
      "OU=Sales.O=Acme / Replica 3 / Last Sync:  " + UnixTimeText(86400, false);
  EXPECT_EQ(OctetValueText(status(2, 0), "Partition Status"), head + "/ (in sync) ");
  EXPECT_EQ(OctetValueText(status(1, 1), "Partition Status"),
            head + "/ (remote error) / Error    1");
  EXPECT_EQ(OctetValueText(status(7, 0xABCDE), "partition status"),
            head + "/ (7 - unknown) / Error ABCDE");
  // Nothing of the layout present: every field reads as zero.
  EXPECT_EQ(OctetValueText({}, "Partition Status"),
            " / Replica 0 / Last Sync:  " + UnixTimeText(0, false) + "/ (local error) ");
}

TEST(OctetValueText, HexOfAValueLongerThan65535BytesIsCutAndMarked) {
  Bytes data(70000, 0xAB);
  const std::string text = OctetValueText(data, "Description");
  ASSERT_EQ(text.size(), 2 * 65535 + std::string("... (70000 bytes)").size());
  EXPECT_EQ(text.substr(0, 4), "ABAB");
  EXPECT_EQ(text.substr(2 * 65535), "... (70000 bytes)");

  data.resize(65535);
  EXPECT_EQ(OctetValueText(data, "Description").size(), 2u * 65535);
}

TEST(SyncStateText, NamesKnownStatesAndNumbersOthers) {
  const std::pair<uint32_t, const char*> cases[] = {{0, "(local error)"},
                                                    {1, "(remote error)"},
                                                    {2, "(in sync)"},
                                                    {3, "(3 - unknown)"},
                                                    {0xFFFFFFFF, "(-1 - unknown)"}};
  for (const auto& [state, expected] : cases)
    EXPECT_EQ(SyncStateText(state), expected) << state;
}

struct StreamCase {
  const char* label;
  std::string attribute;
  Bytes buffer;
  size_t count;
  std::string expected;
};

Bytes AotHeader() {
  return Concat({FromText("AOT FILE"), U32(1), U32(0x2A), U32(3), U16(0xFF), U16(5)});
}

TEST(StreamText, PlainTextsAndApplicationStreams) {
  const Bytes macro =
      Concat({AotHeader(), U32(1), U32(2), U32(3), U32(1), FromText("A"), U32(1), FromText("B")});
  const Bytes copy = Concat({AotHeader(), U32(1), U32(2), U32(3), U32(4), U32(3), FromText("f.x")});
  const Bytes longText =
      Concat({AotHeader(), U32(1), U32(2), U32(3), U32(4), U32(100), FromText("abc")});
  const std::string header = "AOT FILE (24 bytes) (1/2A/3 FF/5)";
  const StreamCase cases[] = {
      {"text up to the first NUL", "Login Script", Concat({Ansi("MAP F:"), FromText("more")}), 11,
       "MAP F:"},
      {"bytes past the count are not read", "Login Script", FromText("abcdef"), 3, "abc"},
      {"a count past the buffer reads zeros", "Login Script", FromText("ab"), 100, "ab"},
      {"tag case matters", "App:Macros", Concat({FromText("aot file"), U32(1)}), 12,
       "aot file\x01"},
      {"tag cut by the count", "App:Macros", AotHeader(), 7, "AOT FIL"},
      {"header numbers need 24 bytes", "App:Macros", AotHeader(), 23, "AOT FILE (23 bytes)"},
      {"exactly the header", "App:Macros", AotHeader(), 24, header},
      // The scan runs to 24 bytes past the data, where the zeros give empty records.
      {"macros: three words and two texts per record", "App:Macros", macro, macro.size(),
       "AOT FILE (46 bytes) (1/2A/3 FF/5)\r\n\r\n (0001/0002/0003) A / B\r\n (0000/0000/0000) "
       "\r\n (0000/0000/0000) \r\n (0000) \r\n"},
      {"copy files: four words and one text per record", "App:Copy Files", copy, copy.size(),
       "AOT FILE (47 bytes) (1/2A/3 FF/5)\r\n\r\n (0001/0002/0003/0004) f.x\r\n (0000/0000/0000/"
       "0000) \r\n (0000/0000/0000) \r\n"},
      {"copy files: a text longer than what is left ends the scan", "App:Copy Files", longText,
       longText.size(), "AOT FILE (47 bytes) (1/2A/3 FF/5)\r\n\r\n (0001/0002/0003/0004) abc\r\n"},
      {"other names: printable bytes, control runs as one line break", "App:Contacts",
       Concat({AotHeader(), FromText("AB\x01\x02\x13"), FromText("C\x14")}), 31,
       "AOT FILE (31 bytes) (1/2A/3 FF/5)AB\r\nC\x14\r\n"},
  };
  for (const StreamCase& c : cases) {
    EXPECT_EQ(StreamText(c.buffer, c.count, c.attribute), c.expected) << c.label;
  }
}

TEST(StreamRecordsText, FreeFormScan) {
  // A counted text, a bare text, a text two bytes into a word, then numbers whose line is
  // never finished.
  const Bytes data =
      Concat({U32(4), Ansi("abc"), Ansi("Hello"), {0}, Ansi("Hi"), {0x34, 0x12, 0, 0}});
  EXPECT_EQ(StreamRecordsText(data, 0, data.size(), -1, -1), "\r\nabc\r\nHello\r\nHi\r\n");
  // A number with one non-zero byte above the lowest realigns the cursor onto that byte.
  const Bytes shifted = Concat({U32(2), FromText("xy"), {0, 0, 0, 5, 0, 0, 0}, Ansi("Hello")});
  EXPECT_EQ(StreamRecordsText(shifted, 0, shifted.size(), -1, -1), "\r\nxy\r\nHello\r\n");
}

TEST(StreamRecordsText, FixedRecordsStopAtLongOrEmptyTexts) {
  // A text longer than 1024 bytes ends the record, not the scan.
  const Bytes data = Concat({U32(7), U32(1025), FromText("zz")});
  EXPECT_EQ(StreamRecordsText(data, 0, 4, 1, 1), "\r\n (0007) \r\n (0401) \r\n");
  // A record that passes the end is the last one.
  const Bytes macro =
      Concat({U32(1), U32(2), U32(3), U32(1), FromText("A"), U32(1), FromText("B")});
  EXPECT_EQ(StreamRecordsText(macro, 0, 21, 3, 2), "\r\n (0001/0002/0003) A / B\r\n");
  // Records that read nothing end the scan instead of repeating.
  EXPECT_EQ(StreamRecordsText(data, 0, data.size(), 0, 0), "\r\n\r\n");
  EXPECT_EQ(StreamRecordsText(data, 0, data.size(), -1, 0), "\r\n\r\n");
}

TEST(StreamDisplayText, HeaderThenContent) {
  EXPECT_EQ(StreamDisplayText(FromText("hello"), 5, "Login Script"), "Stream (5 bytes):\r\nhello");
  EXPECT_EQ(StreamSizeHeader(64512), "Stream (64512 bytes):");
  // A count above the stream buffer is what the reading could have delivered.
  EXPECT_EQ(StreamDisplayText(FromText("x"), 100000, "Login Script"), "Stream (64512 bytes):\r\nx");
}

}  // namespace
