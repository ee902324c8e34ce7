#pragma once
// A scripted directory client: a test derives from it, answers the operations the unit under test
// should call, and lets the one call it names fail. Every operation it does not answer fails the
// test, so that a unit reaching further into the client than its script is caught. Contexts,
// buffers and filters are answered here, with tables of the live ones, because every unit must
// give back each handle it got whichever call fails. Header only: it reports through GoogleTest,
// which the shared test library does not link.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"

// What a script is and what it has seen: a value, so that a test starts a case afresh by
// assigning a new client.
struct ScriptedState {
  // The call that fails: its operation, the how-many-th call of it, and the code it gives.
  std::string failOperation;
  int failOnCall = 1;
  int32_t failCode = 0;

  std::map<std::string, int> calls;
  // Every operation asked through Call and every free, in order.
  std::vector<std::string> log;
  uint32_t nextHandle = 100;

  // The context the unit was handed; it must never be freed.
  DirContext callerContext = 0;
  std::set<DirContext> liveContexts;
  std::map<DirBuffer, uint32_t> liveBuffers;  // and the size each was asked with
  std::vector<uint32_t> bufferSizes;          // of every DirAllocBuffer, failed ones too
  std::set<DirFilter> liveFilters;
  // Frees of a handle that was not live, or of the caller's context: refused, and counted here.
  int staleFrees = 0;

  // The batch a listing, search or read is at, and its next object.
  size_t batch = 0;
  size_t object = 0;
};

class ScriptedClient : public DirClient, public ScriptedState {
 public:
  // caller is the context the unit is handed, live from the start; calls fail with
  // defaultFailCode unless a test names another.
  explicit ScriptedClient(DirContext caller, int32_t defaultFailCode = 0) {
    callerContext = caller;
    liveContexts.insert(caller);
    failCode = defaultFailCode;
  }
  ScriptedClient(const ScriptedClient& other) : DirClient(), ScriptedState(other) {}
  ScriptedClient& operator=(const ScriptedClient& other) {
    static_cast<ScriptedState&>(*this) = other;
    return *this;
  }

  // Makes the onCall-th call of operation fail with code.
  void Fail(std::string operation, int onCall, int32_t code) {
    failOperation = std::move(operation);
    failOnCall = onCall;
    failCode = code;
  }

  // Logs the call; kDirOk, or failCode when this is the failOnCall-th call of failOperation.
  int32_t Call(const std::string& operation) {
    log.push_back(operation);
    if (operation == failOperation && ++calls[operation] == failOnCall) {
      return failCode;
    }
    return kDirOk;
  }

  // Success when only the caller's context is live and no handle was freed twice or unknown.
  [[nodiscard]] testing::AssertionResult EverythingGivenBack() const {
    if (liveContexts == std::set<DirContext>{callerContext} && liveBuffers.empty() &&
        liveFilters.empty() && staleFrees == 0) {
      return testing::AssertionSuccess();
    }
    const bool callerLive = liveContexts.contains(callerContext);
    return testing::AssertionFailure()
           << liveContexts.size() - (callerLive ? 1 : 0) << " contexts, " << liveBuffers.size()
           << " buffers and " << liveFilters.size() << " filters left, " << staleFrees
           << " stale frees" << (callerLive ? "" : ", the caller's context freed");
  }

  // Starts the batch iterationHandle names (-1: the first) of batchCount, and leaves in
  // iterationHandle the next one's, or -1 after the last.
  void StartBatch(int32_t& iterationHandle, size_t batchCount) {
    batch = iterationHandle == -1 ? 0 : static_cast<size_t>(iterationHandle);
    object = 0;
    iterationHandle = batch + 1 < batchCount ? static_cast<int32_t>(batch + 1) : -1;
  }

  uint16_t DirClientInit(int, int) override { return Unscripted16("DirClientInit"); }
  uint16_t DirGetPrimaryConnection(DirConnectionRef&) override {
    return Unscripted16("DirGetPrimaryConnection");
  }
  uint16_t DirScanConnections(uint32_t&, DirConnectionRef&) override {
    return Unscripted16("DirScanConnections");
  }
  uint16_t DirGetConnectionInfo(DirConnectionRef, int, int, std::string&) override {
    return Unscripted16("DirGetConnectionInfo");
  }
  uint16_t DirOpenConnection(DirConnectionRef, int, int, DirConnectionHandle&) override {
    return Unscripted16("DirOpenConnection");
  }
  std::vector<DirUnopenedConnection> DirClientUnopenedConnections() override {
    Unscripted("DirClientUnopenedConnections");
    return {};
  }
  void DirClientUseConnectionsFile(const std::string&) override {
    Unscripted("DirClientUseConnectionsFile");
  }
  std::string DirClientConnectionsFile() override {
    Unscripted("DirClientConnectionsFile");
    return {};
  }
  std::vector<std::string> DirClientWarnings() override {
    Unscripted("DirClientWarnings");
    return {};
  }
  void DirClientShutdown() override { Unscripted("DirClientShutdown"); }
  void DirClientShutdownKeepingLogins() override { Unscripted("DirClientShutdownKeepingLogins"); }
  void DirClientBeginOperation() override { Unscripted("DirClientBeginOperation"); }
  void DirClientSetPasswordProvider(DirPasswordProvider) override {
    Unscripted("DirClientSetPasswordProvider");
  }

  int32_t DirCreateContext(DirContext&) override { return Unscripted("DirCreateContext"); }
  // A copy of a live context; ContextDuplicated lets a test copy what it keeps of one.
  int32_t DirDuplicateContext(DirContext context, DirContext& copy) override {
    if (!liveContexts.contains(context)) {
      ADD_FAILURE() << "duplicating context " << context << ", which is not live";
      return kDirBadContext;
    }
    if (const int32_t code = Call("DirDuplicateContext")) {
      return code;
    }
    copy = Hand(liveContexts);
    ContextDuplicated(context, copy);
    return kDirOk;
  }
  int32_t DirFreeContext(DirContext context) override {
    log.push_back("DirFreeContext");
    if (context == callerContext || liveContexts.erase(context) != 1) {
      ++staleFrees;
      return kDirBadContext;
    }
    return kDirOk;
  }
  int32_t DirGetContextValue(DirContext, int, uint32_t&) override {
    return Unscripted("DirGetContextValue");
  }
  int32_t DirGetContextValue(DirContext, int, std::string&) override {
    return Unscripted("DirGetContextValue");
  }
  int32_t DirSetContextValue(DirContext, int, uint32_t) override {
    return Unscripted("DirSetContextValue");
  }
  int32_t DirSetContextValue(DirContext, int, const std::string&) override {
    return Unscripted("DirSetContextValue");
  }
  int32_t DirGetDefaultNameContext(DirContext, int, std::string&) override {
    return Unscripted("DirGetDefaultNameContext");
  }
  int32_t DirWhoAmI(DirContext, std::string&) override { return Unscripted("DirWhoAmI"); }

  int32_t DirAllocBuffer(uint32_t size, DirBuffer& buffer) override {
    bufferSizes.push_back(size);
    if (const int32_t code = Call("DirAllocBuffer")) {
      return code;
    }
    buffer = nextHandle++;
    liveBuffers[buffer] = size;
    return kDirOk;
  }
  int32_t DirFreeBuffer(DirBuffer buffer) override {
    log.push_back("DirFreeBuffer");
    return Free(liveBuffers, buffer);
  }
  int32_t DirInitBuffer(DirContext, int, DirBuffer) override { return Unscripted("DirInitBuffer"); }
  int32_t DirListSubordinates(DirContext, const std::string&, int32_t&, DirBuffer) override {
    return Unscripted("DirListSubordinates");
  }
  int32_t DirGetObjectCount(DirContext, DirBuffer, uint32_t&) override {
    return Unscripted("DirGetObjectCount");
  }
  int32_t DirGetObjectName(DirContext, DirBuffer, std::string&, uint32_t&,
                           DirObjectInfo&) override {
    return Unscripted("DirGetObjectName");
  }

  int32_t DirAllocFilter(DirFilter&) override { return Unscripted("DirAllocFilter"); }
  int32_t DirAddFilterToken(DirFilter, int, DirFilterValue, uint32_t) override {
    return Unscripted("DirAddFilterToken");
  }
  int32_t DirFreeFilter(DirFilter, std::nullptr_t) override { return Unscripted("DirFreeFilter"); }
  int32_t DirPutFilter(DirContext, DirBuffer, DirFilter, std::nullptr_t) override {
    return Unscripted("DirPutFilter");
  }
  int32_t DirGetSyntaxId(DirContext, const std::string&, uint32_t&) override {
    return Unscripted("DirGetSyntaxId");
  }
  int32_t DirSearch(DirContext, const std::string&, int, int, DirBuffer, const DirTimeStamp&, int,
                    int, std::nullptr_t, int32_t&, int, std::nullptr_t, DirBuffer) override {
    return Unscripted("DirSearch");
  }

  int32_t DirPutAttributeName(DirContext, DirBuffer, const std::string&) override {
    return Unscripted("DirPutAttributeName");
  }
  int32_t DirRead(DirContext, const std::string&, int, int, DirBuffer, int32_t&,
                  DirBuffer) override {
    return Unscripted("DirRead");
  }
  int32_t DirGetAttributeCount(DirContext, DirBuffer, uint32_t&) override {
    return Unscripted("DirGetAttributeCount");
  }
  int32_t DirGetAttributeName(DirContext, DirBuffer, std::string&, uint32_t&, uint32_t&) override {
    return Unscripted("DirGetAttributeName");
  }
  int32_t DirComputeValueSize(DirContext, DirBuffer, uint32_t, uint32_t&) override {
    return Unscripted("DirComputeValueSize");
  }
  int32_t DirGetValue(DirContext, DirBuffer, uint32_t, std::span<uint8_t>) override {
    return Unscripted("DirGetValue");
  }
  int32_t DirReadAhead(DirContext, const std::vector<std::string>&,
                       const std::vector<std::string>&) override {
    return Unscripted("DirReadAhead");
  }
  int32_t DirSearchAhead(DirContext, const std::string&, int,
                         const std::vector<DirBuffer>&) override {
    return Unscripted("DirSearchAhead");
  }
  int32_t DirOpenStream(DirContext, const std::string&, const std::string&, int, int&) override {
    return Unscripted("DirOpenStream");
  }

  // The texts are the units' to pass on, not the script's to check.
  std::string NWstrerror(int32_t) override { return "Unknown error"; }

 protected:
  // What a test keeps of a context (its values) follows the context into a copy.
  virtual void ContextDuplicated(DirContext, DirContext) {}

  // Filters are a script's to answer: a test that expects them answers DirAllocFilter and
  // DirFreeFilter with these.
  int32_t AllocFilter(DirFilter& filter) {
    if (const int32_t code = Call("DirAllocFilter")) {
      return code;
    }
    filter = Hand(liveFilters);
    return kDirOk;
  }
  int32_t FreeFilter(DirFilter filter) {
    log.push_back("DirFreeFilter");
    return Free(liveFilters, filter);
  }

 private:
  uint32_t Hand(std::set<uint32_t>& live) { return *live.insert(nextHandle++).first; }
  template <typename Table>
  int32_t Free(Table& live, uint32_t handle) {
    if (live.erase(handle) != 1) {
      ++staleFrees;
      return kDirInvalidHandle;
    }
    return kDirOk;
  }
  static int32_t Unscripted(const char* operation) {
    ADD_FAILURE() << operation << " is not in the script";
    return kDirInvalidRequest;
  }
  static uint16_t Unscripted16(const char* operation) {
    Unscripted(operation);
    return kDirInvalidParameter;
  }
};
