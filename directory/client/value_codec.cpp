#include "directory/client/value_codec.h"

#include <charconv>

#include "directory/client/builtin_schema.h"
#include "directory/client/value_record.h"

namespace {

// Splits at every `separator`, undoing the \24 and \5C escapes of LDAP list values.
std::vector<std::string> SplitDollarList(std::string_view text) {
  std::vector<std::string> items(1);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '$') {
      items.emplace_back();
    } else if (c == '\\' && i + 2 < text.size() &&
               (text.substr(i + 1, 2) == "24" || text.substr(i + 1, 2) == "5C" ||
                text.substr(i + 1, 2) == "5c")) {
      items.back().push_back(text.substr(i + 1, 2) == "24" ? '$' : '\\');
      i += 2;
    } else {
      items.back().push_back(c);
    }
  }
  return items;
}

// The fields between '#' separators: the first `leading` splits are taken from the left, the
// last `trailing` from the right, so the middle field may itself hold '#'.
std::optional<std::vector<std::string_view>> SplitHash(std::string_view text, size_t leading,
                                                       size_t trailing) {
  std::vector<std::string_view> fields;
  for (size_t i = 0; i < leading; ++i) {
    const size_t at = text.find('#');
    if (at == std::string_view::npos)
      return std::nullopt;
    fields.push_back(text.substr(0, at));
    text.remove_prefix(at + 1);
  }
  std::vector<std::string_view> tail;
  for (size_t i = 0; i < trailing; ++i) {
    const size_t at = text.rfind('#');
    if (at == std::string_view::npos)
      return std::nullopt;
    tail.insert(tail.begin(), text.substr(at + 1));
    text = text.substr(0, at);
  }
  fields.push_back(text);
  fields.insert(fields.end(), tail.begin(), tail.end());
  return fields;
}

std::optional<std::vector<uint8_t>> HexBytes(std::string_view hex) {
  if (hex.size() % 2 != 0)
    return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    uint8_t byte = 0;
    const auto [end, error] = std::from_chars(hex.data() + i, hex.data() + i + 2, byte, 16);
    if (error != std::errc() || end != hex.data() + i + 2)
      return std::nullopt;
    bytes.push_back(byte);
  }
  return bytes;
}

std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::optional<int64_t> ParseNumber(std::string_view text, int64_t min, int64_t max) {
  int base = 10;
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty())
    return std::nullopt;
  uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (error != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  if (magnitude > (uint64_t{1} << 40))
    return std::nullopt;
  const int64_t value =
      negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (value < min || value > max)
    return std::nullopt;
  return value;
}

int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

std::optional<uint32_t> ParseGeneralizedTime(std::string_view text) {
  const auto digits = [&](size_t at, size_t count) -> std::optional<int> {
    if (at + count > text.size())
      return std::nullopt;
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
      if (text[i] < '0' || text[i] > '9')
        return std::nullopt;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  const auto year = digits(0, 4);
  const auto month = digits(4, 2);
  const auto day = digits(6, 2);
  const auto hour = digits(8, 2);
  if (!year || !month || !day || !hour)
    return std::nullopt;
  size_t at = 10;
  int minute = 0;
  int second = 0;
  if (const auto m = digits(at, 2)) {
    minute = *m;
    at += 2;
    if (const auto s = digits(at, 2)) {
      second = *s;
      at += 2;
    }
  }
  if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
    ++at;
    const size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9')
      ++at;
    if (at == start)
      return std::nullopt;
  }
  int64_t offset = 0;
  if (at < text.size() && text[at] == 'Z') {
    ++at;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const int sign = text[at] == '+' ? 1 : -1;
    const auto offHours = digits(at + 1, 2);
    if (!offHours)
      return std::nullopt;
    at += 3;
    int offMinutes = 0;
    if (const auto m = digits(at, 2)) {
      offMinutes = *m;
      at += 2;
    }
    offset = sign * (*offHours * 3600 + offMinutes * 60);
  }
  if (at != text.size())
    return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || minute > 59 ||
      second > 60) {
    return std::nullopt;
  }
  const int64_t days =
      DaysFromCivil(*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day));
  const int64_t seconds = days * 86400 + *hour * 3600 + minute * 60 + second - offset;
  if (seconds < 0 || seconds > int64_t{UINT32_MAX})
    return std::nullopt;
  return static_cast<uint32_t>(seconds);
}

std::optional<std::vector<uint8_t>> EncodeValueRecord(uint32_t syntax, std::string_view attribute,
                                                      std::string_view value,
                                                      const ValueNaming& naming,
                                                      std::string& error) {
  // Most records are the value and a few fixed fields; a name written from a DN is shorter.
  constexpr size_t kFixedFields = 16;
  ValueRecordWriter record(attribute.size() + value.size() + kFixedFields);
  const auto fail = [&](std::string why) -> std::optional<std::vector<uint8_t>> {
    error = std::move(why);
    return std::nullopt;
  };
  const auto name = [&](std::string_view dn) { return naming.nameText(dn); };
  constexpr int64_t kU32Max = UINT32_MAX;
  constexpr int64_t kI32Min = INT32_MIN;
  constexpr int64_t kI32Max = INT32_MAX;

  switch (syntax) {
    case kSyntaxUnknown:
      record.Text(attribute).U32(kSyntaxUnknown).Counted(AsBytes(value));
      break;
    case kSyntaxDistinguishedName: {
      const auto text = name(value);
      if (!text)
        return fail("not a distinguished name");
      record.Text(*text);
      break;
    }
    case kSyntaxCaseExactString:
    case kSyntaxCaseIgnoreString:
    case kSyntaxPrintableString:
    case kSyntaxNumericString:
    case kSyntaxTelephoneNumber:
    case kSyntaxClassName:
      record.Text(value);
      break;
    case kSyntaxCaseIgnoreList: {
      size_t previous = SIZE_MAX;
      for (const std::string& item : SplitDollarList(value)) {
        if (previous != SIZE_MAX)
          record.LinkNext(previous);
        previous = record.BeginNode();
        record.Text(item);
      }
      break;
    }
    case kSyntaxBoolean:
      if (value.size() == 4 && (value[0] | 0x20) == 't' && (value[1] | 0x20) == 'r' &&
          (value[2] | 0x20) == 'u' && (value[3] | 0x20) == 'e') {
        record.U8(1);
      } else if (value.size() == 5 && (value[0] | 0x20) == 'f' && (value[1] | 0x20) == 'a' &&
                 (value[2] | 0x20) == 'l' && (value[3] | 0x20) == 's' && (value[4] | 0x20) == 'e') {
        record.U8(0);
      } else {
        return fail("not TRUE or FALSE");
      }
      break;
    case kSyntaxInteger: {
      const auto number = ParseNumber(value, kI32Min, kI32Max);
      if (!number)
        return fail("not a 32-bit integer");
      record.I32(static_cast<int32_t>(*number));
      break;
    }
    case kSyntaxCounter: {
      // Counters are unsigned on the wire; negative texts are accepted as their bits.
      const auto number = ParseNumber(value, kI32Min, kU32Max);
      if (!number)
        return fail("not a 32-bit counter");
      record.U32(static_cast<uint32_t>(*number));
      break;
    }
    case kSyntaxOctetString:
      record.Counted(AsBytes(value));
      break;
    case kSyntaxFacsimile:
      record.Text(value).U32(0);
      break;
    case kSyntaxNetAddress: {
      const size_t at = value.find('#');
      if (at == std::string_view::npos)
        return fail("not of the form type#address");
      const auto type = ParseNumber(value.substr(0, at), 0, kU32Max);
      if (!type)
        return fail("address type is not a number");
      record.U32(static_cast<uint32_t>(*type)).Counted(AsBytes(value.substr(at + 1)));
      break;
    }
    case kSyntaxOctetList:
      record.BeginNode();
      record.Counted(AsBytes(value));
      break;
    case kSyntaxEMailAddress: {
      const auto fields = SplitHash(value, 1, 0);
      if (!fields)
        return fail("not of the form type#address");
      const auto type = ParseNumber((*fields)[0], 0, kU32Max);
      if (!type)
        return fail("e-mail type is not a number");
      record.U32(static_cast<uint32_t>(*type)).Text((*fields)[1]);
      break;
    }
    case kSyntaxPath: {
      const auto fields = SplitHash(value, 2, 0);
      if (!fields)
        return fail("not of the form volume#namespace#path");
      const auto nameSpace = ParseNumber((*fields)[1], kI32Min, kI32Max);
      if (!nameSpace)
        return fail("name space is not a number");
      std::string volume((*fields)[0]);
      if (volume.find('=') != std::string::npos) {
        const auto text = name(volume);
        if (!text)
          return fail("volume is not a distinguished name");
        volume = *text;
      }
      record.I32(static_cast<int32_t>(*nameSpace)).Text(volume).Text((*fields)[2]);
      break;
    }
    case kSyntaxReplicaPointer: {
      std::vector<std::string_view> fields;
      std::string_view rest = value;
      for (size_t at = rest.find('#'); at != std::string_view::npos; at = rest.find('#')) {
        fields.push_back(rest.substr(0, at));
        rest.remove_prefix(at + 1);
      }
      fields.push_back(rest);
      if (fields.size() < 3 || (fields.size() - 3) % 2 != 0) {
        return fail("not of the form server#type#number[#addressType#hexAddress...]");
      }
      const auto server = name(fields[0]);
      const auto type = ParseNumber(fields[1], 0, kU32Max);
      const auto number = ParseNumber(fields[2], kI32Min, kI32Max);
      if (!server || !type || !number)
        return fail("bad replica server, type or number");
      record.Text(*server).U32(static_cast<uint32_t>(*type)).I32(static_cast<int32_t>(*number));
      record.U32(static_cast<uint32_t>((fields.size() - 3) / 2));
      for (size_t i = 3; i < fields.size(); i += 2) {
        const auto addressType = ParseNumber(fields[i], 0, kU32Max);
        const auto bytes = HexBytes(fields[i + 1]);
        if (!addressType || !bytes)
          return fail("bad replica address");
        record.U32(static_cast<uint32_t>(*addressType)).Counted(*bytes);
      }
      break;
    }
    case kSyntaxObjectAcl: {
      const auto fields = SplitHash(value, 2, 1);
      if (!fields)
        return fail("not of the form privileges#scope#subject#attribute");
      const auto privileges = ParseNumber((*fields)[0], 0, kU32Max);
      if (!privileges)
        return fail("privileges are not a number");
      const std::string_view scope = (*fields)[1];
      if (scope != "entry" && scope != "subtree")
        return fail("scope is not entry or subtree");
      std::string subject((*fields)[2]);
      if (!subject.starts_with('[')) {
        const auto text = name(subject);
        if (!text)
          return fail("subject is not a distinguished name");
        subject = *text;
      }
      std::string protectedName((*fields)[3]);
      if (protectedName.empty())
        return fail("no protected attribute");
      if (!protectedName.starts_with('['))
        protectedName = naming.attributeName(protectedName);
      record.Text(protectedName).Text(subject).U32(static_cast<uint32_t>(*privileges));
      break;
    }
    case kSyntaxPostalAddress: {
      const auto lines = SplitDollarList(value);
      record.U32(static_cast<uint32_t>(lines.size()));
      for (const std::string& line : lines)
        record.Text(line);
      break;
    }
    case kSyntaxTimestamp: {
      const auto fields = SplitHash(value, 2, 0);
      if (!fields)
        return fail("not of the form seconds#replica#event");
      const auto seconds = ParseNumber((*fields)[0], 0, kU32Max);
      const auto replica = ParseNumber((*fields)[1], 0, UINT16_MAX);
      const auto event = ParseNumber((*fields)[2], 0, UINT16_MAX);
      if (!seconds || !replica || !event)
        return fail("bad seconds, replica or event");
      record.U32(static_cast<uint32_t>(*seconds))
          .U16(static_cast<uint16_t>(*replica))
          .U16(static_cast<uint16_t>(*event));
      break;
    }
    case kSyntaxStream:
      break;
    case kSyntaxBackLink: {
      const auto fields = SplitHash(value, 1, 0);
      if (!fields)
        return fail("not of the form remoteID#name");
      const auto remote = ParseNumber((*fields)[0], 0, kU32Max);
      const auto text = name((*fields)[1]);
      if (!remote || !text)
        return fail("bad remote id or name");
      record.U32(static_cast<uint32_t>(*remote)).Text(*text);
      break;
    }
    case kSyntaxTime: {
      const auto seconds = ParseGeneralizedTime(value);
      if (!seconds)
        return fail("not a generalized time");
      record.U32(*seconds);
      break;
    }
    case kSyntaxTypedName: {
      const auto fields = SplitHash(value, 0, 2);
      if (!fields)
        return fail("not of the form name#level#interval");
      const auto text = name((*fields)[0]);
      const auto level = ParseNumber((*fields)[1], 0, kU32Max);
      const auto interval = ParseNumber((*fields)[2], 0, kU32Max);
      if (!text || !level || !interval)
        return fail("bad name, level or interval");
      record.Text(*text).U32(static_cast<uint32_t>(*level)).U32(static_cast<uint32_t>(*interval));
      break;
    }
    case kSyntaxHold: {
      const auto fields = SplitHash(value, 0, 1);
      if (!fields)
        return fail("not of the form name#amount");
      const auto text = name((*fields)[0]);
      const auto amount = ParseNumber((*fields)[1], kI32Min, kI32Max);
      if (!text || !amount)
        return fail("bad name or amount");
      record.Text(*text).I32(static_cast<int32_t>(*amount));
      break;
    }
    case kSyntaxInterval: {
      const auto seconds = ParseNumber(value, 0, kU32Max);
      if (!seconds)
        return fail("not a number of seconds");
      record.U32(static_cast<uint32_t>(*seconds));
      break;
    }
    default:
      record.Bytes(AsBytes(value));
      break;
  }
  return record.Take();
}

bool IsUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    if (c < 0x80) {
      if (c == 0)
        return false;
      ++i;
      continue;
    }
    if ((c & 0xE0) == 0xC0 && c >= 0xC2) {
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
    } else if ((c & 0xF8) == 0xF0 && c <= 0xF4) {
      extra = 3;
    } else {
      return false;
    }
    if (i + extra >= text.size())
      return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
        return false;
    }
    i += extra + 1;
  }
  return true;
}
