#pragma once
// Turns one attribute value from its LDAP string form (LDIF_FORMS.md) into the value record
// DirGetValue delivers (value_record.h), and parses the numbers and times inside such forms.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ValueNaming {
  // The client's text for an LDAP DN inside a value; nullopt when the DN cannot be parsed.
  std::function<std::optional<std::string>(std::string_view ldapDn)> nameText;
  // The directory name of an attribute named inside a value (ACL protected attributes).
  std::function<std::string(std::string_view attribute)> attributeName;
};

// The record of `value` for `syntax`; nullopt, with the reason in `error`, when the value does
// not have the syntax's form. Stream values (21) have an empty record.
[[nodiscard]] std::optional<std::vector<uint8_t>> EncodeValueRecord(uint32_t syntax,
                                                                    std::string_view attribute,
                                                                    std::string_view value,
                                                                    const ValueNaming& naming,
                                                                    std::string& error);

// A whole decimal number, or hexadecimal after "0x", within [min, max].
[[nodiscard]] std::optional<int64_t> ParseNumber(std::string_view text, int64_t min, int64_t max);

// Seconds since 1970-01-01 UTC of a generalized time YYYYMMDDHH[MM[SS]][.fraction][Z|+hhmm|
// -hhmm]; nullopt for anything else or a time outside the unsigned 32-bit range.
[[nodiscard]] std::optional<uint32_t> ParseGeneralizedTime(std::string_view text);

// True when `text` is well-formed UTF-8 without a NUL byte (the empty text is).
[[nodiscard]] bool IsUtf8(std::string_view text);

// Days since 1970-01-01 of a proleptic Gregorian date (no validation).
[[nodiscard]] int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
