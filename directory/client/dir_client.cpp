#include "directory/client/dir_client.h"

#include <mutex>
#include <utility>

#include "directory/client/connections.h"
#include "directory/client/dir_session.h"
#include "directory/client/store_factory.h"
#include "util/secrets.h"

namespace {

// The client of the Dir* operations: one session, and what outlives its shutdowns.
struct Client {
  DirSession session;
  bool started = false;
  bool starting = false;
  uint64_t generation = 0;
  std::string connectionsFile;  // chosen by the caller; empty = the default
  DirPasswordProvider passwords;
  std::vector<DirUnopenedConnection> unopened;  // by the running start-up
  std::vector<std::string> warnings;            // of the last start-up
  KeptLogins logins;                            // those of the running session
  KeptLogins keptForNextStart;  // those of the session before, for the next DirClientInit
};

// Recursive, because a password provider runs inside DirClientInit: should it (or a window
// message handled while its dialog is up) call the client, it gets a code instead of a deadlock.
std::recursive_mutex& Lock() {
  static std::recursive_mutex mutex;
  return mutex;
}

Client& TheClient() {
  static Client client;
  return client;
}

// Kept passwords are overwritten before their memory goes back to the allocator.
void ForgetLogins(KeptLogins& logins) {
  for (auto& [login, password] : logins)
    WipeText(password);
  logins.clear();
}

DirSession& Session() {
  return TheClient().session;
}

std::string ConnectionsFile(const Client& client) {
  return client.connectionsFile.empty() ? DefaultConnectionsFile() : client.connectionsFile;
}

// Runs `call` on the session under the client's lock.
template <typename Call>
auto Locked(Call call) {
  const std::lock_guard lock(Lock());
  return call(Session());
}

}  // namespace

// Connections ---------------------------------------------------------------------------------

uint16_t DirClientInit(int reserved1, int reserved2) {
  const std::lock_guard lock(Lock());
  if (reserved1 != 0 || reserved2 != 0)
    return kDirClientNotStarted;
  Client& client = TheClient();
  if (client.started)
    return kDirConnectionOk;
  if (client.starting)
    return kDirClientNotStarted;  // called from within its own start-up
  client.starting = true;
  OpenedConnections opened;
  const auto failure = OpenConnections(ConnectionsFile(client), client.connectionsFile.empty(),
                                       client.passwords, opened, client.keptForNextStart);
  client.starting = false;
  // Kept for this one start: a login the new connections did not make is forgotten, unless the
  // start failed and the user is to mend the file and start again.
  if (failure) {
    opened.logins.merge(client.keptForNextStart);
  }
  ForgetLogins(client.keptForNextStart);
  ForgetLogins(client.logins);
  client.logins = std::move(opened.logins);
  if (failure) {
    client.session.NoteError(failure->code, failure->text);
    return failure->code;
  }
  client.session.Open(std::move(opened.connections), opened.primary);
  client.unopened = std::move(opened.unopened);
  client.warnings = std::move(opened.warnings);
  client.started = true;
  return kDirConnectionOk;
}

uint16_t DirGetPrimaryConnection(DirConnectionRef& reference) {
  return Locked([&](DirSession& session) { return session.PrimaryConnection(reference); });
}

uint16_t DirScanConnections(uint32_t& position, DirConnectionRef& reference) {
  return Locked([&](DirSession& session) { return session.ScanConnections(position, reference); });
}

uint16_t DirGetConnectionInfo(DirConnectionRef reference, int item, int bufferSize,
                              std::string& value) {
  return Locked([&](DirSession& session) {
    return session.ConnectionInfo(reference, item, bufferSize, value);
  });
}

uint16_t DirOpenConnection(DirConnectionRef reference, int mode, int reserved,
                           DirConnectionHandle& handle) {
  return Locked([&](DirSession& session) {
    return session.OpenConnection(reference, mode, reserved, handle);
  });
}

std::vector<DirUnopenedConnection> DirClientUnopenedConnections() {
  const std::lock_guard lock(Lock());
  return TheClient().unopened;
}

void DirClientUseConnectionsFile(const std::string& path) {
  const std::lock_guard lock(Lock());
  TheClient().connectionsFile = path;
}

std::vector<std::string> DirClientWarnings() {
  const std::lock_guard lock(Lock());
  return TheClient().warnings;
}

std::string DirClientConnectionsFile() {
  const std::lock_guard lock(Lock());
  return ConnectionsFile(TheClient());
}

void DirClientSetPasswordProvider(DirPasswordProvider provider) {
  const std::lock_guard lock(Lock());
  TheClient().passwords = std::move(provider);
}

void DirClientShutdown() {
  const std::lock_guard lock(Lock());
  Client& client = TheClient();
  client.session = DirSession();
  client.unopened.clear();
  client.warnings.clear();
  client.started = false;
  ForgetLogins(client.logins);
  ForgetLogins(client.keptForNextStart);
  ++client.generation;
}

void DirClientShutdownKeepingLogins() {
  const std::lock_guard lock(Lock());
  KeptLogins logins = std::move(TheClient().logins);
  DirClientShutdown();
  TheClient().keptForNextStart = std::move(logins);
}

uint64_t DirClientGeneration() {
  const std::lock_guard lock(Lock());
  return TheClient().generation;
}

void DirClientBeginOperation() {
  Locked([](DirSession& session) { session.BeginOperation(); });
}

// Contexts ------------------------------------------------------------------------------------

int32_t DirCreateContext(DirContext& context) {
  return Locked([&](DirSession& session) { return session.CreateContext(context); });
}

int32_t DirDuplicateContext(DirContext context, DirContext& copy) {
  return Locked([&](DirSession& session) { return session.DuplicateContext(context, copy); });
}

int32_t DirFreeContext(DirContext context) {
  return Locked([&](DirSession& session) { return session.FreeContext(context); });
}

int32_t DirGetContextValue(DirContext context, int key, uint32_t& value) {
  return Locked([&](DirSession& session) { return session.GetContextValue(context, key, value); });
}

int32_t DirGetContextValue(DirContext context, int key, std::string& value) {
  return Locked([&](DirSession& session) { return session.GetContextValue(context, key, value); });
}

int32_t DirSetContextValue(DirContext context, int key, uint32_t value) {
  return Locked([&](DirSession& session) { return session.SetContextValue(context, key, value); });
}

int32_t DirSetContextValue(DirContext context, int key, const std::string& value) {
  return Locked([&](DirSession& session) { return session.SetContextValue(context, key, value); });
}

int32_t DirGetDefaultNameContext(DirContext context, int bufferSize, std::string& name) {
  return Locked(
      [&](DirSession& session) { return session.DefaultNameContext(context, bufferSize, name); });
}

int32_t DirWhoAmI(DirContext context, std::string& name) {
  return Locked([&](DirSession& session) { return session.WhoAmI(context, name); });
}

// Buffers and results -------------------------------------------------------------------------

int32_t DirAllocBuffer(uint32_t size, DirBuffer& buffer) {
  return Locked([&](DirSession& session) { return session.AllocBuffer(size, buffer); });
}

int32_t DirFreeBuffer(DirBuffer buffer) {
  return Locked([&](DirSession& session) { return session.FreeBuffer(buffer); });
}

int32_t DirInitBuffer(DirContext context, int operation, DirBuffer buffer) {
  return Locked(
      [&](DirSession& session) { return session.InitBuffer(context, operation, buffer); });
}

int32_t DirListSubordinates(DirContext context, const std::string& objectName,
                            int32_t& iterationHandle, DirBuffer result) {
  return Locked([&](DirSession& session) {
    return session.ListSubordinates(context, objectName, iterationHandle, result);
  });
}

int32_t DirGetObjectCount(DirContext context, DirBuffer buffer, uint32_t& count) {
  return Locked(
      [&](DirSession& session) { return session.GetObjectCount(context, buffer, count); });
}

int32_t DirGetObjectName(DirContext context, DirBuffer buffer, std::string& name,
                         uint32_t& attributeCount, DirObjectInfo& info) {
  return Locked([&](DirSession& session) {
    return session.GetObjectName(context, buffer, name, attributeCount, info);
  });
}

// Filters and search --------------------------------------------------------------------------

int32_t DirAllocFilter(DirFilter& filter) {
  return Locked([&](DirSession& session) { return session.AllocFilter(filter); });
}

int32_t DirAddFilterToken(DirFilter filter, int token, DirFilterValue value, uint32_t syntax) {
  return Locked([&](DirSession& session) {
    return session.AddFilterToken(filter, token, std::move(value), syntax);
  });
}

int32_t DirFreeFilter(DirFilter filter, std::nullptr_t /*freeValue*/) {
  return Locked([&](DirSession& session) { return session.FreeFilter(filter); });
}

int32_t DirPutFilter(DirContext context, DirBuffer buffer, DirFilter filter,
                     std::nullptr_t /*freeValue*/) {
  return Locked([&](DirSession& session) { return session.PutFilter(context, buffer, filter); });
}

int32_t DirGetSyntaxId(DirContext context, const std::string& attributeName, uint32_t& syntax) {
  return Locked(
      [&](DirSession& session) { return session.GetSyntaxId(context, attributeName, syntax); });
}

int32_t DirSearch(DirContext context, const std::string& baseName, int scope, int /*searchAliases*/,
                  DirBuffer filter, const DirTimeStamp& /*timeStamp*/, int /*infoType*/,
                  int /*allAttributes*/, std::nullptr_t /*attributeNames*/,
                  int32_t& iterationHandle, int /*countObjectsToSearch*/,
                  std::nullptr_t /*countObjectsSearched*/, DirBuffer result) {
  return Locked([&](DirSession& session) {
    return session.Search(context, baseName, scope, filter, iterationHandle, result);
  });
}

// Attributes ----------------------------------------------------------------------------------

int32_t DirPutAttributeName(DirContext context, DirBuffer buffer,
                            const std::string& attributeName) {
  return Locked([&](DirSession& session) {
    return session.PutAttributeName(context, buffer, attributeName);
  });
}

int32_t DirRead(DirContext context, const std::string& objectName, int infoType, int allAttributes,
                DirBuffer request, int32_t& iterationHandle, DirBuffer result) {
  return Locked([&](DirSession& session) {
    return session.Read(context, objectName, infoType, allAttributes, request, iterationHandle,
                        result);
  });
}

int32_t DirGetAttributeCount(DirContext context, DirBuffer buffer, uint32_t& count) {
  return Locked(
      [&](DirSession& session) { return session.GetAttributeCount(context, buffer, count); });
}

int32_t DirGetAttributeName(DirContext context, DirBuffer buffer, std::string& name,
                            uint32_t& valueCount, uint32_t& syntax) {
  return Locked([&](DirSession& session) {
    return session.GetAttributeName(context, buffer, name, valueCount, syntax);
  });
}

int32_t DirComputeValueSize(DirContext context, DirBuffer buffer, uint32_t /*syntax*/,
                            uint32_t& size) {
  return Locked(
      [&](DirSession& session) { return session.ComputeValueSize(context, buffer, size); });
}

int32_t DirGetValue(DirContext context, DirBuffer buffer, uint32_t /*syntax*/,
                    std::span<uint8_t> record) {
  return Locked([&](DirSession& session) { return session.GetValue(context, buffer, record); });
}

int32_t DirReadAhead(DirContext context, const std::vector<std::string>& objectNames,
                     const std::vector<std::string>& attributeNames) {
  return Locked(
      [&](DirSession& session) { return session.ReadAhead(context, objectNames, attributeNames); });
}

int32_t DirOpenStream(DirContext context, const std::string& objectName,
                      const std::string& attributeName, int /*flags*/, int& handle) {
  return Locked([&](DirSession& session) {
    return session.OpenStream(context, objectName, attributeName, handle);
  });
}

// Error texts ---------------------------------------------------------------------------------

std::string NWstrerror(int32_t code) {
  return Locked([&](const DirSession& session) { return session.ErrorText(code); });
}
