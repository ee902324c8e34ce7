#include "render/attr_values.h"

#include <array>

#include "directory/client/dir_syntax.h"
#include "directory/client/value_record.h"
#include "render/named_attributes.h"
#include "render/value_bytes.h"
#include "util/text.h"
#include "util/times.h"

namespace {

// A chain of nodes, each starting with the u32 offset of the next (0 ends it). `visit` gets a
// reader placed after that offset. Offsets must grow, so a damaged chain that points back or
// past the record ends instead of looping or reading outside it; the first node is always
// visited, since it is the value itself.
template <typename Visit>
void ForEachNode(std::span<const uint8_t> record, Visit visit) {
  size_t node = 0;
  while (true) {
    ValueRecordReader reader(record, node);
    const uint32_t next = reader.ReadU32();
    visit(reader);
    if (next == 0 || next <= node || next >= record.size())
      break;
    node = next;
  }
}

// The data of a counted octet string at the reader: its u32 length, then at most that many of
// the bytes the record really holds.
std::span<const uint8_t> ReadOctets(ValueRecordReader& reader) {
  const uint32_t length = reader.ReadU32();
  return reader.ReadBytes(length);
}

constexpr int kPostalAddressLines = 6;

void AddUnknownSyntaxLine(uint32_t syntax, std::span<const uint8_t> record, TStringList& lines) {
  lines.Add("[" + HexNumberText(syntax) + "] " + HexOfValue(record));
}

}  // namespace

void AttrValueLines(uint32_t syntax, std::string_view attributeName,
                    std::span<const uint8_t> record, TStringList& lines) {
  ValueRecordReader reader(record);
  if (IsTextSyntax(syntax)) {
    lines.Add(reader.ReadLastText());
    return;
  }
  switch (syntax) {
    case kSyntaxUnknown: {
      (void)reader.ReadText();  // the attribute name as stored; the one being read is shown
      const uint32_t carried = reader.ReadU32();
      const auto bytes = ReadOctets(reader);
      lines.Add(std::string(attributeName) + " [" + DecText(static_cast<int32_t>(carried)) + "] " +
                HexOfValue(bytes));
      break;
    }
    case kSyntaxFacsimile:  // the number; the bits after it are not shown
      lines.Add(reader.ReadText());
      break;
    case kSyntaxCaseIgnoreList:
      ForEachNode(record, [&lines](ValueRecordReader& node) { lines.Add(node.ReadText()); });
      break;
    case kSyntaxBoolean:
      lines.Add(BoolText(reader.ReadU8()));
      break;
    case kSyntaxInteger:
    case kSyntaxCounter:
      lines.Add(DecText(reader.ReadI32()));
      break;
    case kSyntaxOctetString:
      lines.Add(OctetValueText(ReadOctets(reader), attributeName));
      break;
    case kSyntaxNetAddress: {
      const uint32_t type = reader.ReadU32();
      const auto address = ReadOctets(reader);
      lines.Add(NetAddressText(
          type, address.empty() ? std::nullopt : std::optional<std::span<const uint8_t>>(address),
          true));
      break;
    }
    case kSyntaxOctetList:
      ForEachNode(record, [&lines, attributeName](ValueRecordReader& node) {
        lines.Add(OctetValueText(ReadOctets(node), attributeName));
      });
      break;
    case kSyntaxEMailAddress:
      (void)reader.ReadU32();  // the address type
      lines.Add(reader.ReadLastText());
      break;
    case kSyntaxPath: {
      const int32_t nameSpace = reader.ReadI32();
      const std::string volume = reader.ReadText();
      const std::string path = reader.ReadText();
      lines.Add("(" + DecText(nameSpace) + ") " + volume + ":" + path);
      break;
    }
    case kSyntaxReplicaPointer: {
      const std::string server = reader.ReadText();
      const uint32_t type = reader.ReadU32();
      const int32_t number = reader.ReadI32();
      lines.Add(server + " [" + ReplicaTypeText(type) + "] [Nr: " + DecText(number) + "]");
      break;
    }
    case kSyntaxObjectAcl: {
      const std::string protectedName = reader.ReadText();
      const std::string subject = reader.ReadText();
      const uint32_t privileges = reader.ReadU32();
      const RightsKind kind = protectedName.find("[Entry Rights]") != std::string::npos
                                  ? RightsKind::kEntry
                                  : RightsKind::kAttribute;
      lines.Add(RightsLetters(privileges, kind) + " " + subject + " / \"" + protectedName + "\"");
      break;
    }
    case kSyntaxPostalAddress: {
      const uint32_t count = reader.ReadU32();
      for (int i = 0; i < kPostalAddressLines; ++i) {
        lines.Add(static_cast<uint32_t>(i) < count ? reader.ReadText() : std::string());
      }
      break;
    }
    case kSyntaxTimestamp:
    case kSyntaxTime:
      lines.Add(UnixTimeText(reader.ReadU32(), true));
      break;
    case kSyntaxBackLink:
      (void)reader.ReadU32();  // the remote id
      lines.Add(reader.ReadLastText());
      break;
    case kSyntaxTypedName:
      lines.Add(reader.ReadText());
      break;
    case kSyntaxHold: {
      const std::string name = reader.ReadText();
      const int32_t amount = reader.ReadI32();
      lines.Add(name + " (" + DecText(amount) + ")");
      break;
    }
    case kSyntaxInterval:
      lines.Add(DurationText(reader.ReadU32()));
      break;
    default:
      // Streams have no record and are read separately; should one arrive anyway, its bytes
      // are shown like those of a syntax the renderer does not know.
      AddUnknownSyntaxLine(syntax, record, lines);
      break;
  }
}

namespace {

std::string DottedAddress(const ValueBytes& bytes, size_t first, size_t portAt) {
  std::string text;
  for (size_t i = 0; i < 4; ++i) {
    if (i > 0)
      text += ".";
    text += DecText(bytes.U8(first + i));
  }
  const uint32_t port = (uint32_t{bytes.U8(portAt)} << 8) | bytes.U8(portAt + 1);
  return text + ":" + DecText(port);
}

}  // namespace

std::string NetAddressText(uint32_t type, std::optional<std::span<const uint8_t>> address,
                           bool withType) {
  std::string text;
  bool typeAlways = false;
  if (address.has_value()) {
    const ValueBytes bytes(*address);
    switch (type) {
      case 0:
        text = bytes.Hex(0, 4) + ":" + bytes.Hex(4, 6);
        break;
      case 1:
      case 7:
      case 10:
      case 11:
        text = DottedAddress(bytes, 0, 4);
        break;
      case 8:
      case 9:
        text = DottedAddress(bytes, 2, 0);
        break;
      case 13:
        text = bytes.Utf16(0);
        break;
      default:
        text = "[" + bytes.Hex(0, 12) + "]";
        typeAlways = true;
        break;
    }
  }
  if (withType || typeAlways) {
    text = "(" + DecText(static_cast<int32_t>(type)) + ") " + text;
  }
  return text;
}

std::string RightsLetters(uint32_t privileges, RightsKind kind) {
  struct Position {
    uint32_t bit;
    char letter;
  };
  static constexpr std::array<Position, 5> kEntryRights = {
      {{0x01, 'B'}, {0x02, 'C'}, {0x04, 'D'}, {0x08, 'R'}, {0x10, 'A'}}};
  static constexpr std::array<Position, 5> kAttributeRights = {
      {{0x01, 'C'}, {0x02, 'R'}, {0x04, 'W'}, {0x08, 'S'}, {0x20, 'A'}}};
  // Unlike the others, the last position shows its letter when its bit is clear.
  constexpr uint32_t kInheritBit = 0x40;

  const auto& positions = kind == RightsKind::kEntry ? kEntryRights : kAttributeRights;
  std::string row = "[";
  for (const Position& position : positions) {
    row += (privileges & position.bit) != 0 ? position.letter : ' ';
  }
  row += (privileges & kInheritBit) == 0 ? 'I' : ' ';
  row += "]";
  return row;
}

std::string ReplicaTypeText(uint32_t type) {
  static constexpr std::array<std::string_view, 4> kTypes = {"Master", "Secondary", "Read-Only",
                                                             "Subordinate Reference"};
  if (type < kTypes.size())
    return std::string(kTypes[type]);
  return "Unknown (Type: " + DecText(static_cast<int32_t>(type)) + ")";
}
