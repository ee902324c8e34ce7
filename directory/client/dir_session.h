#pragma once
// One run of the directory client over its connections: the handle tables (contexts, buffers,
// filters, iterations), names resolved through each connection's store, the batches results are
// handed out in, and the texts of the failures it reported. The Dir* operations are a facade over
// one session; a test builds its own over stores. A session is not safe to share between threads
// without a lock of the caller's.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

class DirSession {
 public:
  // A session without connections, which answers as a client not started: no connection to
  // scan or open, no context to create.
  DirSession();
  // A session over `connections`; `primary` is the index of the primary one (none when empty).
  explicit DirSession(std::vector<DirConnection> connections,
                      std::optional<size_t> primary = std::nullopt);
  DirSession(DirSession&&) noexcept;
  DirSession& operator=(DirSession&&) noexcept;
  ~DirSession();

  // Gives a session without connections its connections; what it holds (buffers, filters,
  // error texts) stays.
  void Open(std::vector<DirConnection> connections, std::optional<size_t> primary);
  // Every store that has given up on its server tries it again.
  void BeginOperation();

  // Connections; references count from 1.
  [[nodiscard]] uint16_t PrimaryConnection(DirConnectionRef& reference) const;
  [[nodiscard]] uint16_t ScanConnections(uint32_t& position, DirConnectionRef& reference) const;
  [[nodiscard]] uint16_t ConnectionInfo(DirConnectionRef reference, int item, int bufferSize,
                                        std::string& value) const;
  [[nodiscard]] uint16_t OpenConnection(DirConnectionRef reference, int mode, int reserved,
                                        DirConnectionHandle& handle) const;

  // Contexts.
  [[nodiscard]] int32_t CreateContext(DirContext& context);
  [[nodiscard]] int32_t DuplicateContext(DirContext context, DirContext& copy);
  [[nodiscard]] int32_t FreeContext(DirContext context);
  [[nodiscard]] int32_t GetContextValue(DirContext context, int key, uint32_t& value) const;
  [[nodiscard]] int32_t GetContextValue(DirContext context, int key, std::string& value) const;
  [[nodiscard]] int32_t SetContextValue(DirContext context, int key, uint32_t value);
  [[nodiscard]] int32_t SetContextValue(DirContext context, int key, const std::string& value);
  [[nodiscard]] int32_t DefaultNameContext(DirContext context, int bufferSize,
                                           std::string& name) const;
  [[nodiscard]] int32_t WhoAmI(DirContext context, std::string& name) const;

  // Buffers and listings.
  [[nodiscard]] int32_t AllocBuffer(uint32_t size, DirBuffer& buffer);
  [[nodiscard]] int32_t FreeBuffer(DirBuffer buffer);
  [[nodiscard]] int32_t InitBuffer(DirContext context, int operation, DirBuffer buffer);
  // A failed call of a listing, search or read ends its iteration (the handle becomes -1).
  [[nodiscard]] int32_t ListSubordinates(DirContext context, const std::string& objectName,
                                         int32_t& iterationHandle, DirBuffer result);
  [[nodiscard]] int32_t GetObjectCount(DirContext context, DirBuffer buffer, uint32_t& count);
  [[nodiscard]] int32_t GetObjectName(DirContext context, DirBuffer buffer, std::string& name,
                                      uint32_t& attributeCount, DirObjectInfo& info);

  // Filters and search.
  [[nodiscard]] int32_t AllocFilter(DirFilter& filter);
  [[nodiscard]] int32_t AddFilterToken(DirFilter filter, int token, DirFilterValue value,
                                       uint32_t syntax);
  [[nodiscard]] int32_t FreeFilter(DirFilter filter);
  [[nodiscard]] int32_t PutFilter(DirContext context, DirBuffer buffer, DirFilter filter);
  [[nodiscard]] int32_t GetSyntaxId(DirContext context, const std::string& attributeName,
                                    uint32_t& syntax) const;
  [[nodiscard]] int32_t Search(DirContext context, const std::string& baseName, int scope,
                               DirBuffer filter, int32_t& iterationHandle, DirBuffer result);

  // Attributes.
  [[nodiscard]] int32_t PutAttributeName(DirContext context, DirBuffer buffer,
                                         const std::string& attributeName);
  [[nodiscard]] int32_t Read(DirContext context, const std::string& objectName, int infoType,
                             int allAttributes, DirBuffer request, int32_t& iterationHandle,
                             DirBuffer result);
  [[nodiscard]] int32_t GetAttributeCount(DirContext context, DirBuffer buffer, uint32_t& count);
  [[nodiscard]] int32_t GetAttributeName(DirContext context, DirBuffer buffer, std::string& name,
                                         uint32_t& valueCount, uint32_t& syntax);
  [[nodiscard]] int32_t ComputeValueSize(DirContext context, DirBuffer buffer, uint32_t& size);
  [[nodiscard]] int32_t GetValue(DirContext context, DirBuffer buffer, std::span<uint8_t> record);
  // The names are guessed from what the store already knows (GuessName) and handed to its
  // ReadAhead; a store that does not read ahead is not asked.
  [[nodiscard]] int32_t ReadAhead(DirContext context, const std::vector<std::string>& objectNames,
                                  const std::vector<std::string>& attributeNames);
  [[nodiscard]] int32_t OpenStream(DirContext context, const std::string& objectName,
                                   const std::string& attributeName, int& handle);

  // Error texts: the text noted for a code (a start-up failure's, a store's words for a failure
  // the session passed on), else the client's own; "Unknown error" for a code it has none for.
  void NoteError(int32_t code, std::string text);
  [[nodiscard]] std::string ErrorText(int32_t code) const;

 private:
  std::unique_ptr<DirSessionTables> tables_;
};
