#pragma once
// The numbers a directory attribute's syntax is known by, and the families the renderer, the
// search and the filter translation sort them into. Header only: render/ reads it as well.
#include <cstdint>

// Attribute name, carried syntax and raw bytes of a value the schema does not type.
inline constexpr uint32_t kSyntaxUnknown = 0;
// An object's full name.
inline constexpr uint32_t kSyntaxDistinguishedName = 1;
// Text compared as written.
inline constexpr uint32_t kSyntaxCaseExactString = 2;
// Text compared regardless of case.
inline constexpr uint32_t kSyntaxCaseIgnoreString = 3;
// Text of the printable set.
inline constexpr uint32_t kSyntaxPrintableString = 4;
// Text of digits and spaces.
inline constexpr uint32_t kSyntaxNumericString = 5;
// A chain of case-ignore texts.
inline constexpr uint32_t kSyntaxCaseIgnoreList = 6;
// One byte, nonzero for true.
inline constexpr uint32_t kSyntaxBoolean = 7;
// A signed 32-bit number.
inline constexpr uint32_t kSyntaxInteger = 8;
// Counted bytes.
inline constexpr uint32_t kSyntaxOctetString = 9;
// A telephone number as text.
inline constexpr uint32_t kSyntaxTelephoneNumber = 10;
// A telephone number and its fax bits.
inline constexpr uint32_t kSyntaxFacsimile = 11;
// An address type and its bytes.
inline constexpr uint32_t kSyntaxNetAddress = 12;
// A chain of counted bytes.
inline constexpr uint32_t kSyntaxOctetList = 13;
// An address type and the address text.
inline constexpr uint32_t kSyntaxEMailAddress = 14;
// A name space, a volume and a path.
inline constexpr uint32_t kSyntaxPath = 15;
// A server, its replica type and number, and its addresses.
inline constexpr uint32_t kSyntaxReplicaPointer = 16;
// Protected attribute, subject and privileges.
inline constexpr uint32_t kSyntaxObjectAcl = 17;
// Counted lines of an address.
inline constexpr uint32_t kSyntaxPostalAddress = 18;
// Seconds, replica number and event.
inline constexpr uint32_t kSyntaxTimestamp = 19;
// An object class name.
inline constexpr uint32_t kSyntaxClassName = 20;
// Content read through a stream, no record.
inline constexpr uint32_t kSyntaxStream = 21;
// A signed 32-bit count.
inline constexpr uint32_t kSyntaxCounter = 22;
// A remote id and an object name.
inline constexpr uint32_t kSyntaxBackLink = 23;
// Seconds since the epoch.
inline constexpr uint32_t kSyntaxTime = 24;
// An object name, a level and an interval.
inline constexpr uint32_t kSyntaxTypedName = 25;
// An object name and an amount.
inline constexpr uint32_t kSyntaxHold = 26;
// A duration in seconds.
inline constexpr uint32_t kSyntaxInterval = 27;

// Syntaxes whose record is one text, shown as it stands.
[[nodiscard]] constexpr bool IsTextSyntax(uint32_t syntax) {
  switch (syntax) {
    case kSyntaxDistinguishedName:
    case kSyntaxCaseExactString:
    case kSyntaxCaseIgnoreString:
    case kSyntaxPrintableString:
    case kSyntaxNumericString:
    case kSyntaxTelephoneNumber:
    case kSyntaxClassName:
      return true;
    default:
      return false;
  }
}

// Syntaxes a search filter compares as text. Not the renderer's set: telephone numbers are not
// among them and typed names (compared by their object name) are.
[[nodiscard]] constexpr bool IsFilterTextSyntax(uint32_t syntax) {
  switch (syntax) {
    case kSyntaxDistinguishedName:
    case kSyntaxCaseExactString:
    case kSyntaxCaseIgnoreString:
    case kSyntaxPrintableString:
    case kSyntaxNumericString:
    case kSyntaxClassName:
    case kSyntaxTypedName:
      return true;
    default:
      return false;
  }
}

// Syntaxes a search filter compares as a number (a boolean as 0 or 1).
[[nodiscard]] constexpr bool IsFilterNumberSyntax(uint32_t syntax) {
  return syntax == kSyntaxBoolean || syntax == kSyntaxInteger || syntax == kSyntaxCounter ||
         syntax == kSyntaxHold || syntax == kSyntaxInterval;
}

// Syntaxes whose value is a point in time, in seconds.
[[nodiscard]] constexpr bool IsTimeSyntax(uint32_t syntax) {
  return syntax == kSyntaxTimestamp || syntax == kSyntaxTime;
}

// Syntaxes an LDAP filter asserts as an escaped string. Wider than the filter language's text
// set: facsimile, e-mail and postal values travel as strings there; distinguished names and
// class names are translated on their own paths.
[[nodiscard]] constexpr bool IsLdapStringSyntax(uint32_t syntax) {
  switch (syntax) {
    case kSyntaxCaseExactString:
    case kSyntaxCaseIgnoreString:
    case kSyntaxPrintableString:
    case kSyntaxNumericString:
    case kSyntaxTelephoneNumber:
    case kSyntaxFacsimile:
    case kSyntaxEMailAddress:
    case kSyntaxPostalAddress:
      return true;
    default:
      return false;
  }
}

// The highest syntax number this client knows.
inline constexpr uint32_t kSyntaxLast = kSyntaxInterval;
