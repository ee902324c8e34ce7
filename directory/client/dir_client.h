#pragma once
// The directory client: the Dir* operations every directory access of the program goes through,
// as one interface handed to whoever needs it (DirSession is the real one).
// Handles are opaque 32-bit values checked on every call; a stale or foreign handle gives an
// error code, never a crash. Completion codes are 0 on success and negative directory codes
// otherwise; the connection operations give 16-bit codes.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "directory/client/dir_codes.h"

// A connection of the connections file that start-up could not open (its LDIF file cannot be
// read or loaded, its server does not answer or refuses the bind, no password could be had): its
// tree is left out unless another connection serves it.
struct DirUnopenedConnection {
  std::string tree;
  std::string reason;  // the file's or the server's words, the section, file and line after them
  bool primary = false;
};

// What the client tells whoever supplies the password of a connection that binds as a DN and
// has no password file.
struct DirPasswordRequest {
  std::string tree;
  std::string bindDn;
  std::string server;         // the connection's source, ldap://host:port or ldaps://host:port
  int attempt = 1;            // 1, then 2, 3 ... after each password the server refused
  std::string previousError;  // why the server refused the last password; empty at attempt 1
};

// A password, or none: with an empty `failure` the user declined, so the connection is left out
// and start-up goes on with the others; otherwise start-up fails with `failure` as its reason.
struct DirPasswordAnswer {
  std::optional<std::string> password;
  std::string failure;
};

using DirPasswordProvider = std::function<DirPasswordAnswer(const DirPasswordRequest&)>;

// The client operations, handed to whoever reaches the directory: the window and the export
// tool create one session and pass it down; a test builds its own over a fixture tree, or a
// scripted one. Not safe to share between threads without a lock of the caller's.
class DirClient {
 public:
  DirClient() = default;
  DirClient(const DirClient&) = delete;
  DirClient& operator=(const DirClient&) = delete;
  virtual ~DirClient() = default;

  // Connections ---------------------------------------------------------------------------------

  // Starts the client: reads the connections file (see DirClientUseConnectionsFile) or, without
  // one, opens the built-in sample tree. Both arguments are reserved and must be 0. Only a file
  // that cannot be read or is malformed fails it; a connection that cannot be opened is left out
  // (DirClientUnopenedConnections).
  [[nodiscard]] virtual uint16_t DirClientInit(int reserved1, int reserved2) = 0;
  [[nodiscard]] virtual uint16_t DirGetPrimaryConnection(DirConnectionRef& reference) = 0;
  // position is 0 at the start of a scan; returns non-zero when there is no further connection.
  [[nodiscard]] virtual uint16_t DirScanConnections(uint32_t& position,
                                                    DirConnectionRef& reference) = 0;
  // item 4 = tree name (padded with '_' to 32 characters); bufferSize limits the text with its NUL.
  [[nodiscard]] virtual uint16_t DirGetConnectionInfo(DirConnectionRef reference, int item,
                                                      int bufferSize, std::string& value) = 0;
  [[nodiscard]] virtual uint16_t DirOpenConnection(DirConnectionRef reference, int mode,
                                                   int reserved, DirConnectionHandle& handle) = 0;

  // The connections the running client's start-up could not open, in the file's order; empty
  // before a start-up, after a shutdown and when every connection opened. A start-up that could not
  // open the primary connection makes the first connection it opened the primary one.
  [[nodiscard]] virtual std::vector<DirUnopenedConnection> DirClientUnopenedConnections() = 0;

  // Chooses the connections file DirClientInit reads, instead of connections.ini in the
  // configuration folder. An empty path restores the default.
  virtual void DirClientUseConnectionsFile(const std::string& path) = 0;
  // The connections file DirClientInit reads: the chosen one, else connections.ini in the
  // configuration folder.
  [[nodiscard]] virtual std::string DirClientConnectionsFile() = 0;
  // What the running client's start-up kept although it did not fit (an LDIF's values outside
  // their syntax), one text per source; empty when nothing was, or the client is not running.
  [[nodiscard]] virtual std::vector<std::string> DirClientWarnings() = 0;
  // Ends the client: every handle and error text is freed and the next DirClientInit starts
  // afresh.
  virtual void DirClientShutdown() = 0;
  // Ends the client as DirClientShutdown does, but keeps in memory the passwords its connections
  // logged in with (those asked of the password provider) for the next DirClientInit: a connection
  // whose servers, bind DN and TLS settings are the same then logs in with its password without
  // asking, and is asked only when the server refuses it. What that start-up does not use is
  // forgotten; DirClientShutdown forgets everything.
  virtual void DirClientShutdownKeepingLogins() = 0;
  // Begins one of the program's operations (a window handler, an export). A live server whose
  // connection was lost and could not be made again fails every call of the operation at once;
  // the next operation tries it again.
  virtual void DirClientBeginOperation() = 0;

  // Installs what DirClientInit asks for passwords (it stays installed across shutdowns; an empty
  // function removes it). The provider is asked again, with the next attempt, for as long as the
  // server refuses the credentials or it gives an empty password (never sent). It runs inside
  // DirClientInit: the Dir* operations it may call meanwhile answer as before a start-up, and
  // DirClientInit itself gives kDirClientNotStarted. The client keeps a password only in memory,
  // for the life of its connection. Without a provider such a connection makes start-up fail.
  virtual void DirClientSetPasswordProvider(DirPasswordProvider provider) = 0;

  // Contexts ------------------------------------------------------------------------------------

  [[nodiscard]] virtual int32_t DirCreateContext(DirContext& context) = 0;
  [[nodiscard]] virtual int32_t DirDuplicateContext(DirContext context, DirContext& copy) = 0;
  [[nodiscard]] virtual int32_t DirFreeContext(DirContext context) = 0;
  // Key 1 (flags) and 2 take numbers; keys 3 (name context) and 11 (tree name) take texts. The
  // wrong kind of value for a key gives kDirBadKey.
  [[nodiscard]] virtual int32_t DirGetContextValue(DirContext context, int key,
                                                   uint32_t& value) = 0;
  [[nodiscard]] virtual int32_t DirGetContextValue(DirContext context, int key,
                                                   std::string& value) = 0;
  [[nodiscard]] virtual int32_t DirSetContextValue(DirContext context, int key, uint32_t value) = 0;
  [[nodiscard]] virtual int32_t DirSetContextValue(DirContext context, int key,
                                                   const std::string& value) = 0;
  // The tree's configured name context (typeless when flag 0x04 is set); a name that does not fit
  // bufferSize bytes with its NUL gives kDirInsufficientBuffer.
  [[nodiscard]] virtual int32_t DirGetDefaultNameContext(DirContext context, int bufferSize,
                                                         std::string& name) = 0;
  [[nodiscard]] virtual int32_t DirWhoAmI(DirContext context, std::string& name) = 0;

  // Buffers and results -------------------------------------------------------------------------

  [[nodiscard]] virtual int32_t DirAllocBuffer(uint32_t size, DirBuffer& buffer) = 0;
  [[nodiscard]] virtual int32_t DirFreeBuffer(DirBuffer buffer) = 0;
  [[nodiscard]] virtual int32_t DirInitBuffer(DirContext context, int operation,
                                              DirBuffer buffer) = 0;
  // One batch of the object's immediate subordinates; iterationHandle is -1 before the first call
  // and becomes -1 after the last batch.
  [[nodiscard]] virtual int32_t DirListSubordinates(DirContext context,
                                                    const std::string& objectName,
                                                    int32_t& iterationHandle, DirBuffer result) = 0;
  [[nodiscard]] virtual int32_t DirGetObjectCount(DirContext context, DirBuffer buffer,
                                                  uint32_t& count) = 0;
  // The next object of a listing or search batch.
  [[nodiscard]] virtual int32_t DirGetObjectName(DirContext context, DirBuffer buffer,
                                                 std::string& name, uint32_t& attributeCount,
                                                 DirObjectInfo& info) = 0;

  // Filters and search --------------------------------------------------------------------------

  [[nodiscard]] virtual int32_t DirAllocFilter(DirFilter& filter) = 0;
  // Refuses (kDirBadSyntax) a token that may not follow the previous one.
  [[nodiscard]] virtual int32_t DirAddFilterToken(DirFilter filter, int token, DirFilterValue value,
                                                  uint32_t syntax) = 0;
  [[nodiscard]] virtual int32_t DirFreeFilter(DirFilter filter, std::nullptr_t freeValue) = 0;
  // Writes the finished filter into a buffer prepared for operation 28; on success the filter is
  // consumed (its handle is freed), on failure it stays for DirFreeFilter.
  [[nodiscard]] virtual int32_t DirPutFilter(DirContext context, DirBuffer buffer, DirFilter filter,
                                             std::nullptr_t freeValue) = 0;
  [[nodiscard]] virtual int32_t DirGetSyntaxId(DirContext context, const std::string& attributeName,
                                               uint32_t& syntax) = 0;
  // One batch of matching objects (names and object information only).
  [[nodiscard]] virtual int32_t DirSearch(DirContext context, const std::string& baseName,
                                          int scope, int searchAliases, DirBuffer filter,
                                          const DirTimeStamp& timeStamp, int infoType,
                                          int allAttributes, std::nullptr_t attributeNames,
                                          int32_t& iterationHandle, int countObjectsToSearch,
                                          std::nullptr_t countObjectsSearched,
                                          DirBuffer result) = 0;

  // Attributes ----------------------------------------------------------------------------------

  [[nodiscard]] virtual int32_t DirPutAttributeName(DirContext context, DirBuffer buffer,
                                                    const std::string& attributeName) = 0;
  [[nodiscard]] virtual int32_t DirRead(DirContext context, const std::string& objectName,
                                        int infoType, int allAttributes, DirBuffer request,
                                        int32_t& iterationHandle, DirBuffer result) = 0;
  [[nodiscard]] virtual int32_t DirGetAttributeCount(DirContext context, DirBuffer buffer,
                                                     uint32_t& count) = 0;
  [[nodiscard]] virtual int32_t DirGetAttributeName(DirContext context, DirBuffer buffer,
                                                    std::string& name, uint32_t& valueCount,
                                                    uint32_t& syntax) = 0;
  // The size of the next value's record (value_record.h gives the layouts).
  [[nodiscard]] virtual int32_t DirComputeValueSize(DirContext context, DirBuffer buffer,
                                                    uint32_t syntax, uint32_t& size) = 0;
  // Copies the next value's record into `record`, which must be at least the computed size.
  [[nodiscard]] virtual int32_t DirGetValue(DirContext context, DirBuffer buffer, uint32_t syntax,
                                            std::span<uint8_t> record) = 0;
  // Tells the client that the attributes `attributeNames` of the objects `objectNames` are read
  // next, in this order, through `context`: a client whose server answers over the network asks for
  // them now, so that each DirRead finds its answer waiting. Answers, codes and values of those
  // reads are the same as without it; only kDirBadContext is an error of its own.
  [[nodiscard]] virtual int32_t DirReadAhead(DirContext context,
                                             const std::vector<std::string>& objectNames,
                                             const std::vector<std::string>& attributeNames) = 0;
  // As DirReadAhead, where DirSearch of `filter` (a buffer holding a search filter) in the
  // subtree of `baseName` finds every one of the objects and not many others besides: such a
  // client may fetch them by that one search. A base or filter DirSearch refuses is passed over.
  [[nodiscard]] virtual int32_t DirReadAheadWithin(DirContext context,
                                                   const std::vector<std::string>& objectNames,
                                                   const std::vector<std::string>& attributeNames,
                                                   const std::string& /*baseName*/,
                                                   DirBuffer /*filter*/) {
    return DirReadAhead(context, objectNames, attributeNames);
  }
  // Tells the client that DirSearch runs next for each of `filters` (buffers holding a search
  // filter) below `baseName` with `scope`, in this order, through `context`: a client whose server
  // answers over the network sends the searches together. Batches, codes and names of those
  // searches are the same as without it; only kDirBadContext is an error of its own.
  [[nodiscard]] virtual int32_t DirSearchAhead(DirContext context, const std::string& baseName,
                                               int scope,
                                               const std::vector<DirBuffer>& filters) = 0;
  // A file descriptor to read the stream's bytes from once; the caller closes it.
  [[nodiscard]] virtual int32_t DirOpenStream(DirContext context, const std::string& objectName,
                                              const std::string& attributeName, int flags,
                                              int& handle) = 0;

  // Error texts ---------------------------------------------------------------------------------

  // The client's text for a code (16-bit connection codes and negative directory codes);
  // "Unknown error" when it has none. Start-up failures name the file, the line and the fault.
  [[nodiscard]] virtual std::string NWstrerror(int32_t code) = 0;
};
