#pragma once
// Every directory value reaches the rest of the program as display lines made here: one value
// record (laid out as directory/client/value_record.h describes) and its syntax number become
// one or more lines appended to a string list.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "util/string_list.h"

// Appends the lines of one value of syntax `syntax` to `lines`: one line for most syntaxes, one
// per node of a list, six for a postal address; octet values take the form their
// `attributeName` selects. Numbers 28 and above (and 21, streams having no record) give
// "[%X] <hex of the record>". Never fails and never reads past `record`: fields the record is
// too short for read as zero or as the empty text.
void AttrValueLines(uint32_t syntax, std::string_view attributeName,
                    std::span<const uint8_t> record, TStringList& lines);

// The text of one network address of type `type`; "" without address bytes (std::nullopt), and
// "(<type>) " in front when `withType` is set or the type has no form of its own (hex of the
// first 12 bytes in brackets). Forms that read more bytes than the address has read the missing
// ones as zero.
[[nodiscard]] std::string NetAddressText(uint32_t type,
                                         std::optional<std::span<const uint8_t>> address,
                                         bool withType);

// Which letters an ACL entry's privileges are shown with.
enum class RightsKind { kEntry = 1, kAttribute = 2 };

// The bracketed letter row of an ACL entry: six positions, a letter where the right is present
// and a blank where it is not ('[BCDRAI]', '[B     ]', '[ R   I]').
[[nodiscard]] std::string RightsLetters(uint32_t privileges, RightsKind kind);

// 0 "Master", 1 "Secondary", 2 "Read-Only", 3 "Subordinate Reference", any other
// "Unknown (Type: %d)".
[[nodiscard]] std::string ReplicaTypeText(uint32_t type);
