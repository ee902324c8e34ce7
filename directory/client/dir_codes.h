#pragma once
// The client's vocabulary: handle types, completion codes, context keys and flags, filter tokens
// and what a listing tells of an entry. The stores and the client both speak it, so it depends on
// nothing of either.
#include <cstdint>
#include <string>
#include <variant>

using DirContext = uint32_t;
using DirBuffer = uint32_t;
using DirFilter = uint32_t;
using DirConnectionRef = uint32_t;
using DirConnectionHandle = uint32_t;

// Completion codes the client gives (the directory's own numbering).
enum DirCodes : int32_t {
  kDirOk = 0,
  kDirNotEnoughMemory = -301,
  kDirBadKey = -302,       // a context key the client does not have, or a value of the wrong kind
  kDirBadContext = -303,   // an unknown or freed context
  kDirBufferFull = -304,   // a request or filter that does not fit its buffer
  kDirBadSyntax = -306,    // a filter token that may not follow the previous one
  kDirBufferEmpty = -307,  // reading past the last object, attribute or value of a batch
  kDirBadVerb = -308,      // a buffer prepared for another operation
  kDirFilterTreeEmpty = -313,    // a filter without any term
  kDirInvalidObjectName = -314,  // a name that cannot be parsed
  kDirInvalidHandle = -322,      // an unknown or freed buffer, filter or iteration handle
  kDirInvalidFilter = -326,  // a filter text the program cannot convert (the program's own code)
  kDirNoSuchTree = -340,     // a tree no connection of the client belongs to
  kDirNoSuchEntry = -601,
  kDirNoSuchValue = -602,
  kDirNoSuchAttribute = -603,
  kDirInvalidRequest = -641,      // an argument out of range (scope, operation, reserved value)
  kDirInsufficientBuffer = -649,  // one result larger than the whole buffer, or a short out-buffer
};

// Connection start-up codes (16-bit).
enum DirConnectionCodes : uint16_t {
  kDirConnectionOk = 0,
  kDirClientNotStarted = 0xFFFF,   // the client could not be started at all
  kDirNoConnection = 0x880F,       // no connection with that reference / no primary
  kDirNoMoreConnections = 0x8801,  // the scan has passed the last connection
  kDirConfigMalformed = 0x8810,    // connections.ini cannot be parsed
  kDirSourceUnreadable = 0x8811,   // a connection's source cannot be read or parsed
  kDirSourceUnknown = 0x8812,      // a connection's source is of a kind the client does not know
  kDirInvalidParameter = 0x8836,   // an unknown information item or a too small text buffer
};

// Buffer operations (DirInitBuffer).
inline constexpr int kDirOperationRead = 3;
inline constexpr int kDirOperationSearchFilter = 28;

// Context keys.
inline constexpr int kDirKeyFlags = 1;
inline constexpr int kDirKeyConfidence = 2;
inline constexpr int kDirKeyNameContext = 3;
inline constexpr int kDirKeyTreeName = 11;

// Context flags.
inline constexpr uint32_t kDirFlagDerefAliases = 0x01;
inline constexpr uint32_t kDirFlagTranslateStrings = 0x02;
inline constexpr uint32_t kDirFlagTypeless = 0x04;
inline constexpr uint32_t kDirFlagCanonicalize = 0x10;
// Names inside values as the values spell them, not as their entries do: a caller that compares
// names ignoring case may take it to save a lookup of each named entry.
inline constexpr uint32_t kDirFlagNamesAsWritten = 0x1000;

// Object information flags.
inline constexpr uint32_t kDirObjectContainer = 0x04;

// Search scopes.
inline constexpr int kDirScopeEntry = 0;
inline constexpr int kDirScopeSubordinates = 1;
inline constexpr int kDirScopeSubtree = 2;

// What DirGetObjectName tells of an entry besides its name.
struct DirObjectInfo {
  uint32_t flags = 0;  // kDirObjectContainer for containers
  uint32_t subordinateCount = 0;
  uint32_t modificationTime = 0;  // directory time
  std::string baseClass;
};

// A time value of a filter: seconds since 1970-01-01 UTC, then two 16-bit fields.
struct DirTimeStamp {
  uint32_t seconds = 0;
  uint16_t replicaNumber = 0;
  uint16_t event = 0;
};

// The value of a filter token: none, a text, a 32-bit integer or a time stamp.
using DirFilterValue = std::variant<std::monostate, std::string, int32_t, DirTimeStamp>;

// Filter tokens.
enum DirFilterToken : int {
  kFilterEnd = 0,
  kFilterOr = 1,
  kFilterAnd = 2,
  kFilterNot = 3,
  kFilterOpen = 4,
  kFilterClose = 5,
  kFilterValue = 6,
  kFilterEqual = 7,
  kFilterGreaterOrEqual = 8,
  kFilterLessOrEqual = 9,
  kFilterApprox = 10,
  kFilterAttribute = 14,
  kFilterPresent = 15,
  kFilterRdn = 16,
  kFilterBaseClass = 17,
};

// Completion codes of the live store that the in-memory store never gives.
inline constexpr int32_t kDirTransportFailure = -625;      // connection lost or no answer in time
inline constexpr int32_t kDirRemoteFailure = -635;         // any other refusal by the server
inline constexpr int32_t kDirUnreachableServer = -636;     // the server cannot be reached at all
inline constexpr int32_t kDirFailedAuthentication = -669;  // the bind was refused
inline constexpr int32_t kDirNoAccess = -672;
