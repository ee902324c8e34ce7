#pragma once
// A scripted directory client: a test derives from it, answers the operations the unit under test
// should call, and lets the one call it names fail. Every operation it does not answer fails the
// test, so that a unit reaching further into the client than its script is caught. Header only: it
// reports through GoogleTest, which the shared test library does not link.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"

class ScriptedClient : public DirClient {
 public:
  ScriptedClient() = default;
  explicit ScriptedClient(int32_t defaultFailCode) : failCode(defaultFailCode) {}
  // A script is a value: a test starts a case afresh by assigning a new one.
  ScriptedClient(const ScriptedClient& other) : DirClient() { *this = other; }
  ScriptedClient& operator=(const ScriptedClient& other) {
    failOperation = other.failOperation;
    failOnCall = other.failOnCall;
    failCode = other.failCode;
    calls = other.calls;
    nextHandle = other.nextHandle;
    return *this;
  }

  // The call that fails: its operation, the how-many-th call of it, and the code it gives.
  std::string failOperation;
  int failOnCall = 1;
  int32_t failCode = 0;

  std::map<std::string, int> calls;
  uint32_t nextHandle = 100;

  // kDirOk, or failCode when this is the failOnCall-th call of failOperation.
  int32_t Call(const std::string& operation) {
    if (operation == failOperation && ++calls[operation] == failOnCall) {
      return failCode;
    }
    return kDirOk;
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
  int32_t DirDuplicateContext(DirContext, DirContext&) override {
    return Unscripted("DirDuplicateContext");
  }
  int32_t DirFreeContext(DirContext) override { return Unscripted("DirFreeContext"); }
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

  int32_t DirAllocBuffer(uint32_t, DirBuffer&) override { return Unscripted("DirAllocBuffer"); }
  int32_t DirFreeBuffer(DirBuffer) override { return Unscripted("DirFreeBuffer"); }
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
  int32_t DirOpenStream(DirContext, const std::string&, const std::string&, int, int&) override {
    return Unscripted("DirOpenStream");
  }

  // The texts are the units' to pass on, not the script's to check.
  std::string NWstrerror(int32_t) override { return "Unknown error"; }

 private:
  static int32_t Unscripted(const char* operation) {
    ADD_FAILURE() << operation << " is not in the script";
    return kDirInvalidRequest;
  }
  static uint16_t Unscripted16(const char* operation) {
    Unscripted(operation);
    return kDirInvalidParameter;
  }
};
