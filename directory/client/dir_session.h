#pragma once
// The directory client itself: its start-up from the connections file (with the password
// provider and the logins a restart keeps), and each run over its connections with the handle
// tables, names resolved through each connection's store, result batches and the texts of the
// failures it reported. The window and the tool create one; a test builds its own over stores.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"
#include "directory/client/dir_codes.h"
#include "directory/client/dir_name.h"
#include "directory/client/store.h"

// One connection of a session: the tree it belongs to, the store that serves it, the tree's
// default name context and who the connection is logged in as (when known).
struct DirConnection {
  std::string tree;
  std::shared_ptr<Store> store;  // never null
  DirName context;
  std::optional<DirName> user;
};

struct DirSessionTables;
struct DirSessionStartup;

class DirSession final : public DirClient {
 public:
  // A client not started: DirClientInit opens the connections of its connections file.
  DirSession();
  // A client started over `connections`; `primary` is the index of the primary one (none when
  // empty). DirClientInit has nothing left to do; a shutdown makes it a client not started.
  explicit DirSession(std::vector<DirConnection> connections,
                      std::optional<size_t> primary = std::nullopt);
  DirSession(DirSession&& other) noexcept;
  DirSession& operator=(DirSession&& other) noexcept;
  ~DirSession() override;

  // Connections; references count from 1.
  [[nodiscard]] uint16_t DirClientInit(int reserved1, int reserved2) final;
  [[nodiscard]] uint16_t DirGetPrimaryConnection(DirConnectionRef& reference) final;
  [[nodiscard]] uint16_t DirScanConnections(uint32_t& position, DirConnectionRef& reference) final;
  [[nodiscard]] uint16_t DirGetConnectionInfo(DirConnectionRef reference, int item, int bufferSize,
                                              std::string& value) final;
  [[nodiscard]] uint16_t DirOpenConnection(DirConnectionRef reference, int mode, int reserved,
                                           DirConnectionHandle& handle) final;
  [[nodiscard]] std::vector<DirUnopenedConnection> DirClientUnopenedConnections() final;
  void DirClientUseConnectionsFile(const std::string& path) final;
  [[nodiscard]] std::string DirClientConnectionsFile() final;
  [[nodiscard]] std::vector<std::string> DirClientWarnings() final;
  void DirClientShutdown() final;
  void DirClientShutdownKeepingLogins() final;
  // Every store that has given up on its server tries it again.
  void DirClientBeginOperation() final;
  void DirClientSetPasswordProvider(DirPasswordProvider provider) final;

  // Contexts.
  [[nodiscard]] int32_t DirCreateContext(DirContext& context) final;
  [[nodiscard]] int32_t DirDuplicateContext(DirContext context, DirContext& copy) final;
  [[nodiscard]] int32_t DirFreeContext(DirContext context) final;
  [[nodiscard]] int32_t DirGetContextValue(DirContext context, int key, uint32_t& value) final;
  [[nodiscard]] int32_t DirGetContextValue(DirContext context, int key, std::string& value) final;
  [[nodiscard]] int32_t DirSetContextValue(DirContext context, int key, uint32_t value) final;
  [[nodiscard]] int32_t DirSetContextValue(DirContext context, int key,
                                           const std::string& value) final;
  [[nodiscard]] int32_t DirGetDefaultNameContext(DirContext context, int bufferSize,
                                                 std::string& name) final;
  [[nodiscard]] int32_t DirWhoAmI(DirContext context, std::string& name) final;

  // Buffers and listings.
  [[nodiscard]] int32_t DirAllocBuffer(uint32_t size, DirBuffer& buffer) final;
  [[nodiscard]] int32_t DirFreeBuffer(DirBuffer buffer) final;
  [[nodiscard]] int32_t DirInitBuffer(DirContext context, int operation, DirBuffer buffer) final;
  // A failed call of a listing, search or read ends its iteration (the handle becomes -1).
  [[nodiscard]] int32_t DirListSubordinates(DirContext context, const std::string& objectName,
                                            int32_t& iterationHandle, DirBuffer result) final;
  [[nodiscard]] int32_t DirGetObjectCount(DirContext context, DirBuffer buffer,
                                          uint32_t& count) final;
  [[nodiscard]] int32_t DirGetObjectName(DirContext context, DirBuffer buffer, std::string& name,
                                         uint32_t& attributeCount, DirObjectInfo& info) final;

  // Filters and search.
  [[nodiscard]] int32_t DirAllocFilter(DirFilter& filter) final;
  [[nodiscard]] int32_t DirAddFilterToken(DirFilter filter, int token, DirFilterValue value,
                                          uint32_t syntax) final;
  [[nodiscard]] int32_t DirFreeFilter(DirFilter filter, std::nullptr_t freeValue) final;
  [[nodiscard]] int32_t DirPutFilter(DirContext context, DirBuffer buffer, DirFilter filter,
                                     std::nullptr_t freeValue) final;
  [[nodiscard]] int32_t DirGetSyntaxId(DirContext context, const std::string& attributeName,
                                       uint32_t& syntax) final;
  // Only the context, base, scope, filter, iteration and result count; the search always gives
  // names and object information.
  [[nodiscard]] int32_t DirSearch(DirContext context, const std::string& baseName, int scope,
                                  int searchAliases, DirBuffer filter,
                                  const DirTimeStamp& timeStamp, int infoType, int allAttributes,
                                  std::nullptr_t attributeNames, int32_t& iterationHandle,
                                  int countObjectsToSearch, std::nullptr_t countObjectsSearched,
                                  DirBuffer result) final;

  // Attributes. A value's record is the same whatever syntax the caller names.
  [[nodiscard]] int32_t DirPutAttributeName(DirContext context, DirBuffer buffer,
                                            const std::string& attributeName) final;
  [[nodiscard]] int32_t DirRead(DirContext context, const std::string& objectName, int infoType,
                                int allAttributes, DirBuffer request, int32_t& iterationHandle,
                                DirBuffer result) final;
  [[nodiscard]] int32_t DirGetAttributeCount(DirContext context, DirBuffer buffer,
                                             uint32_t& count) final;
  [[nodiscard]] int32_t DirGetAttributeName(DirContext context, DirBuffer buffer, std::string& name,
                                            uint32_t& valueCount, uint32_t& syntax) final;
  [[nodiscard]] int32_t DirComputeValueSize(DirContext context, DirBuffer buffer, uint32_t syntax,
                                            uint32_t& size) final;
  [[nodiscard]] int32_t DirGetValue(DirContext context, DirBuffer buffer, uint32_t syntax,
                                    std::span<uint8_t> record) final;
  // The names are guessed from what the store already knows (GuessName) and handed to its
  // ReadAhead; a store that does not read ahead is not asked.
  [[nodiscard]] int32_t DirReadAhead(DirContext context,
                                     const std::vector<std::string>& objectNames,
                                     const std::vector<std::string>& attributeNames) final;
  // The base and filter are taken as DirSearchAhead takes them.
  [[nodiscard]] int32_t DirReadAheadWithin(DirContext context,
                                           const std::vector<std::string>& objectNames,
                                           const std::vector<std::string>& attributeNames,
                                           const std::string& baseName, DirBuffer filter) final;
  // The base is resolved as DirSearch resolves it and the filters handed to the store's
  // SearchAhead; a base or filter DirSearch would refuse asks for nothing.
  [[nodiscard]] int32_t DirSearchAhead(DirContext context, const std::string& baseName, int scope,
                                       const std::vector<DirBuffer>& filters) final;
  [[nodiscard]] int32_t DirOpenStream(DirContext context, const std::string& objectName,
                                      const std::string& attributeName, int flags,
                                      int& handle) final;

  // Error texts: the text noted for a code (a start-up failure's, a store's words for a failure
  // the session passed on), else the client's own; "Unknown error" for a code it has none for.
  void NoteError(int32_t code, std::string text);
  [[nodiscard]] std::string NWstrerror(int32_t code) final;

 private:
  // Gives the session its connections; what it holds (buffers, filters, error texts) stays.
  void Open(std::vector<DirConnection> connections, std::optional<size_t> primary);
  // DirReadAhead, with DirReadAheadWithin's search when `baseName` is given.
  [[nodiscard]] int32_t ReadAhead(DirContext context, const std::vector<std::string>& objectNames,
                                  const std::vector<std::string>& attributeNames,
                                  const std::string* baseName, DirBuffer filter);

  std::unique_ptr<DirSessionTables> tables_;
  std::unique_ptr<DirSessionStartup> startup_;  // what outlives a shutdown, and the start-up's
};
