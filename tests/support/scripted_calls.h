#pragma once
// What every scripted client (a test's own Dir* functions, linked in place of the client library)
// shares: the one call it fails, counted per operation, and the handles it gives out.
#include <cstdint>
#include <map>
#include <string>

#include "directory/client/dir_client.h"

struct ScriptedCalls {
  ScriptedCalls() = default;
  explicit ScriptedCalls(int32_t defaultFailCode) : failCode(defaultFailCode) {}

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
};
