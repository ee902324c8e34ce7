#include "render/named_attributes.h"

#include <algorithm>
#include <array>
#include <vector>

#include "render/value_bytes.h"
#include "util/text.h"
#include "util/times.h"

namespace {

constexpr const char* kCrLf = "\r\n";

// Octet layouts -------------------------------------------------------------------------------

std::string PlainText(const ValueBytes& data) {
  return TextFromBytes(data.Span(), 0, data.Size());
}

std::string BinderyProperty(const ValueBytes& data) {
  constexpr size_t kValueAt = 47;
  // The value field is followed by four bytes that are not part of it.
  constexpr size_t kValueEnd = 51;
  std::string value = data.Ansi(kValueAt);
  if (value.empty()) {
    const size_t count = data.Size() > kValueEnd ? data.Size() - kValueEnd : 0;
    value = count == 0 ? std::string()
                       : TrimRightChars(HexOfValue(data.Span().subspan(kValueAt, count)), "0");
  }
  return data.Ansi(5) + ": " + value;
}

std::string TrapDescription(const ValueBytes& data) {
  return LinesFromBytes(data.Span(), 0, data.Size());
}

std::string PublicKey(const ValueBytes& data) {
  return "[" + HexNumberText(data.U32(0)) + "," + HexNumberText(data.U32(4)) + "," +
         data.Hex(8, 14) + "," + HexNumberText(data.U32(22)) + "] " + data.Utf16(26);
}

std::string MemberQuery(const ValueBytes& data) {
  return data.Utf16(12) + " - " + HexOfValue(data.Span());
}

std::string InventoryResource(const ValueBytes& data) {
  return "[" + HexNumberText(data.U32(0), 2) + "," + DecText(data.I32(4)) + "," +
         DecText(data.I32(8)) + "," + DecText(data.I32(12)) + "] " + data.Utf16(16);
}

std::string InventoryPort(const ValueBytes& data) {
  return "[" + HexNumberText(data.U16(0), 4) + "," + DecText(data.I32(4)) + "," +
         DecText(data.I32(8)) + "," + DecText(data.I32(12)) + "] " + data.Utf16(16);
}

std::string InventoryCpu(const ValueBytes& data) {
  return "[" + DecText(data.I32(0)) + "] " + data.Utf16(8);
}

std::string InventoryRange(const ValueBytes& data) {
  std::string text = "[";
  for (size_t at = 0; at <= 16; at += 4) {
    if (at > 0)
      text += ",";
    text += HexNumberText(data.U32(at));
  }
  return text + "] " + data.Utf16(20);
}

std::string GatewayLocation(const ValueBytes& data) {
  return "[" + data.Hex(0, 13) + "] " + data.Ansi(13);
}

std::string FolderList(const ValueBytes& data) {
  return "(" + HexNumberText(data.U32(0)) + "/" + HexNumberText(data.U32(4)) + "/" +
         HexNumberText(data.U32(8)) + ") " + data.Ansi(12);
}

std::string RightsPath(const ValueBytes& data) {
  return "(" + HexNumberText(data.U32(0)) + "/" + HexNumberText(data.U32(4)) + "/" +
         HexNumberText(data.U32(8)) + "/" + HexNumberText(data.U8(12)) + ") " + data.Ansi(13);
}

std::string ConfigEntry(const ValueBytes& data) {
  return "[" + DecText(data.I32(0)) + "] " + data.Ansi(4) + " " + data.Ansi(92) + " ";
}

std::string UserAdd(const ValueBytes& data) {
  return data.Ansi(15);
}

std::string PartitionStatus(const ValueBytes& data) {
  std::string text = data.Utf16(28) + " ";
  text += "/ Replica " + DecText(data.I32(12)) + " ";
  text += "/ Last Sync:  " + UnixTimeText(data.U32(8), false);
  text += "/ ";
  text += SyncStateText(data.U32(4));
  text += " ";
  if (const uint32_t error = data.U32(16); error != 0) {
    text += "/ Error " + HexNumberText(error, 4, ' ');
  }
  return text;
}

std::string ReplicaVector(const ValueBytes& data) {
  return "(" + HexNumberText(data.U32(0), 4) + "/" + HexNumberText(data.U32(4), 4) + "/" +
         HexNumberText(data.U32(8), 4) + ") " + data.Utf16(12);
}

constexpr std::array<std::string_view, 7> kPortKinds = {"Other", "Parallel", "Serial", "XNP",
                                                        "Apple", "Unix",     "AIO"};
constexpr std::array<std::string_view, 4> kFormChanges = {"as needed", "minimize within Qs",
                                                          "never", "minimize across Qs"};
constexpr std::array<std::string_view, 3> kStopBits = {"1", "1.5", "2"};
constexpr std::array<std::string_view, 3> kParities = {"no", "even", "odd"};

// Baud rates are stored as a power of two over 300; an exponent too large for any real line
// would overflow, so it is shown as "n/a" instead of a wrapped number.
std::string BaudText(uint16_t exponent) {
  constexpr uint16_t kLargestExponent = 54;  // 300 << 54 still fits 64 bits
  if (exponent > kLargestExponent)
    return "n/a";
  return std::to_string(uint64_t{300} << exponent);
}

std::string PrinterConfiguration(const ValueBytes& data) {
  const auto word = [&data](size_t k) { return data.U16(2 * k); };
  const uint16_t kind = word(0);
  const std::string kindName = PickText(kind, kPortKinds);
  const std::string interrupt = word(26) == 0 ? "Polling" : "IRQ " + DecText(word(27));
  const std::string load = word(25) == 0 ? "Manual" : "Auto";
  const std::string port = DecText(word(24) + 1);

  std::string text;
  switch (kind) {
    case 1:
      text = kindName + " (LPT" + port + ":) / " + interrupt + " / " + load + " load";
      break;
    case 2:
      text = "Serial (COM" + port + ":) / " + interrupt + " / " + load + " load";
      text += word(28) == 0 ? "" : " / Xon/Xoff ";
      text += " / " + BaudText(word(29)) + " bd";
      text += " / " + DecText(word(30)) + " Data bits";
      text += " / " + PickText(word(31), kStopBits) + " Stop bits";
      text += " / " + PickText(word(32), kParities) + " parity";
      break;
    case 4:
      text = kindName + " " + data.Ansi(48) + " " + data.Ansi(116) + " (" + data.Ansi(82) + ")";
      break;
    case 5:
      text = kindName + " " + data.Ansi(48) + "/" + data.Ansi(304);
      break;
    default:
      text = kindName;
      break;
  }
  text += " / ";
  text += word(5) == 0 ? "Text" : "Postscript";
  text += " / Service Interval: " + DecText(word(4));
  text += " / Buffer Size: " + DecText(word(2)) + "kB";
  text += " / Starting Form: " + DecText(word(1));
  text += " / Form Change: " + PickText(word(3), kFormChanges);
  text += " / Driver Name: " + data.Ansi(16);
  text += kCrLf;
  return text;
}

using OctetRenderer = std::string (*)(const ValueBytes&);

struct OctetLayout {
  std::vector<std::string_view> names;
  OctetRenderer render;
};

// Searched in order; the first row naming the attribute decides.
const std::vector<OctetLayout>& OctetLayouts() {
  static const std::vector<OctetLayout> layouts = {
      {{"App:GUID", "App:Drive Mappings", "App:Parameters", "App:Path", "App:Version String",
        "App:Working Directory", "ZEN:INV Disk Info", "bhObjectGUID", "rbsTaskRights"},
       PlainText},
      {{"Bindery Property"}, BinderyProperty},
      {{"snmpTrapDescription"}, TrapDescription},
      {{"CA Public Key", "Public Key"}, PublicKey},
      {{"memberQuery"}, MemberQuery},
      {{"WM:INV DMA", "WM:INV Interrupt"}, InventoryResource},
      {{"WM:INV Port"}, InventoryPort},
      {{"WM:INV CPU Information"}, InventoryCpu},
      {{"WM:INV Shared Memory", "WM:INV Volume"}, InventoryRange},
      {{"NGW: Location"}, GatewayLocation},
      {{"App:Folder List"}, FolderList},
      {{"App:FS Rights Path"}, RightsPath},
      {{"bhConfig"}, ConfigEntry},
      {{"FW0 USER ADD"}, UserAdd},
      {{"Partition Status"}, PartitionStatus},
      {{"Local Received Up To", "Transitive Vector"}, ReplicaVector},
      {{"Printer Configuration"}, PrinterConfiguration},
  };
  return layouts;
}

// Streams -------------------------------------------------------------------------------------

constexpr size_t kAotHeaderSize = 24;
constexpr std::string_view kAotTag = "AOT FILE";

// The first `limit` bytes of the text at `at`, fewer when its NUL or the end comes first. Only
// the bytes taken are looked at, so a long text costs no more than its prefix.
std::string TextPrefix(const ValueBytes& data, size_t at, size_t limit) {
  std::string text;
  for (size_t i = 0; i < limit; ++i) {
    const uint8_t byte = data.U8(at + i);
    if (byte == 0)
      break;
    text.push_back(static_cast<char>(byte));
  }
  return text;
}

// Bytes below this value are line structure, not text, in an application stream.
constexpr uint8_t kFirstShownByte = 20;

std::string RawRecordsText(const ValueBytes& data, size_t count) {
  const size_t last = std::min(count, kStreamBufferSize - kAotHeaderSize);
  std::string text;
  bool inBreak = false;
  for (size_t i = 0; i < last; ++i) {
    const uint8_t byte = data.U8(kAotHeaderSize + i);
    if (byte >= kFirstShownByte) {
      text.push_back(static_cast<char>(byte));
      inBreak = false;
    } else if (!inBreak) {
      text += kCrLf;
      inBreak = true;
    }
  }
  return text;
}

// Moves `cursor` onto the one non-zero byte of a number that has exactly one, when that byte is
// not the lowest: records of the free-form scan are not always four-byte aligned.
void Realign(const ValueBytes& data, size_t& cursor) {
  if (data.U32(cursor) < 256)
    return;
  int zeros = 0;
  size_t nonZero = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (data.U8(cursor + i) == 0) {
      ++zeros;
    } else {
      nonZero = i;
    }
  }
  if (zeros == 3)
    cursor += nonZero;
}

// The text at `at` has two or more characters.
bool HasTwoChars(const ValueBytes& data, size_t at) {
  return data.U8(at) != 0 && data.U8(at + 1) != 0;
}

std::string FreeFormRecordsText(const ValueBytes& data, size_t start, size_t end) {
  constexpr uint8_t kFirstPrintable = 32;
  std::string text = kCrLf;
  std::string pending;
  size_t cursor = start;
  while (cursor <= end) {
    const uint32_t number = data.U32(cursor);
    if (number < 255 && HasTwoChars(data, cursor + 4)) {
      pending += TextPrefix(data, cursor + 4, number);
      cursor += 4 + number;
      Realign(data, cursor);
      text += pending + kCrLf;
      pending.clear();
    } else if (HasTwoChars(data, cursor) && data.U8(cursor) >= kFirstPrintable &&
               data.U8(cursor + 1) >= kFirstPrintable) {
      const size_t length = data.AnsiLength(cursor);
      pending += data.Ansi(cursor);
      cursor += length;
      Realign(data, cursor);
      text += pending + kCrLf;
      pending.clear();
    } else if (HasTwoChars(data, cursor + 2) && data.U8(cursor + 2) >= kFirstPrintable &&
               data.U8(cursor + 3) >= kFirstPrintable) {
      cursor += 2;
    } else {
      pending += HexNumberText(number, 4) + " ";
      cursor += 4;
    }
  }
  return text;
}

std::string FixedRecordsText(const ValueBytes& data, size_t start, size_t end, int words,
                             int texts) {
  constexpr uint32_t kLongestText = 1024;
  std::string text = kCrLf;
  size_t cursor = start;
  bool ended = false;
  // A record that would start beyond the end reads only zeros: the scan ends before it.
  while (!ended && cursor <= end) {
    const size_t recordStart = cursor;
    std::string wordList;
    int wordsRead = 0;
    for (int i = 0; i < words; ++i) {
      if (cursor > end) {
        ended = true;
        break;
      }
      if (i > 0)
        wordList += "/";
      wordList += HexNumberText(data.U32(cursor), 4);
      cursor += 4;
      ++wordsRead;
    }
    if (wordsRead > 0)
      text += " (" + wordList + ") ";

    std::string textList;
    for (int i = 0; i < texts && !ended; ++i) {
      if (i > 0)
        textList += " / ";
      if (cursor > end) {
        ended = true;
        break;
      }
      const uint32_t length = data.U32(cursor);
      if (length > kLongestText || data.U8(cursor + 4) == 0)
        break;
      textList += TextPrefix(data, cursor + 4, length);
      cursor += 4 + length;
    }
    text += textList + kCrLf;
    // A record that reads nothing (no words, no text) would repeat forever.
    if (cursor == recordStart)
      ended = true;
  }
  return text;
}

}  // namespace

std::string OctetValueText(std::span<const uint8_t> data, std::string_view attributeName) {
  const ValueBytes bytes(data);
  for (const OctetLayout& layout : OctetLayouts()) {
    for (const std::string_view name : layout.names) {
      if (SameTextAscii(name, attributeName))
        return layout.render(bytes);
    }
  }
  return HexOfValue(data);
}

std::string SyncStateText(uint32_t state) {
  switch (state) {
    case 0:
      return "(local error)";
    case 1:
      return "(remote error)";
    case 2:
      return "(in sync)";
    default:
      return "(" + DecText(static_cast<int32_t>(state)) + " - unknown)";
  }
}

std::string StreamRecordsText(std::span<const uint8_t> buffer, size_t start, size_t count,
                              int wordsPerRecord, int textsPerRecord) {
  const ValueBytes data(buffer);
  count = std::min(count, kStreamBufferSize);
  start = std::min(start, kStreamBufferSize);
  const size_t end = start + count;
  if (wordsPerRecord == -1 && textsPerRecord == -1) {
    return FreeFormRecordsText(data, start, end);
  }
  return FixedRecordsText(data, start, end, std::max(wordsPerRecord, 0),
                          std::max(textsPerRecord, 0));
}

std::string StreamText(std::span<const uint8_t> buffer, size_t count,
                       std::string_view attributeName) {
  count = std::min(count, kStreamBufferSize);
  // Bytes after the ones read are zero in the reading buffer; a caller's buffer may hold
  // anything there, so they are cut off rather than trusted.
  const auto content = buffer.first(std::min(count, buffer.size()));
  const ValueBytes data(content);
  if (TextPrefix(data, 0, kAotTag.size()) != kAotTag)
    return data.Ansi(0);

  std::string text = std::string(kAotTag) + " (" + DecText(static_cast<int64_t>(count)) + " bytes)";
  if (count >= kAotHeaderSize) {
    text += " (" + HexNumberText(data.U32(8)) + "/" + HexNumberText(data.U32(12)) + "/" +
            HexNumberText(data.U32(16)) + " " + HexNumberText(data.U16(20)) + "/" +
            HexNumberText(data.U16(22)) + ")";
  }
  if (count > kAotHeaderSize) {
    if (attributeName == "App:Macros") {
      text += kCrLf + StreamRecordsText(content, kAotHeaderSize, count, 3, 2);
    } else if (attributeName == "App:Copy Files") {
      text += kCrLf + StreamRecordsText(content, kAotHeaderSize, count, 4, 1);
    } else if (attributeName == "App:Inventory" || attributeName == "App:Program Groups") {
      text += kCrLf + StreamRecordsText(content, kAotHeaderSize, count, -1, -1);
    } else {
      text += RawRecordsText(data, count);
    }
  }
  return text;
}

std::string StreamSizeHeader(size_t count) {
  return "Stream (" + std::to_string(count) + " bytes):";
}

std::string StreamDisplayText(std::span<const uint8_t> buffer, size_t count,
                              std::string_view attributeName) {
  count = std::min(count, kStreamBufferSize);
  return StreamSizeHeader(count) + kCrLf + StreamText(buffer, count, attributeName);
}
