#pragma once
// A duplicate of a directory context that is freed on every way out: the reading and searching
// units work through one, so that an iteration they give up midway ends with it.
#include <cstdint>
#include <optional>

#include "directory/client/dir_client.h"

class ScopedDirContext {
 public:
  ScopedDirContext() = default;
  ~ScopedDirContext() {
    if (context_) {
      (void)DirFreeContext(*context_);
    }
  }
  ScopedDirContext(const ScopedDirContext&) = delete;
  ScopedDirContext& operator=(const ScopedDirContext&) = delete;

  // Duplicates `original`; the client's code (0 when this now holds the copy).
  [[nodiscard]] int32_t Duplicate(DirContext original) {
    DirContext copy = 0;
    const int32_t code = DirDuplicateContext(original, copy);
    if (code == kDirOk) {
      context_ = copy;
    }
    return code;
  }
  // The copy; 0 before a successful Duplicate.
  [[nodiscard]] DirContext Get() const { return context_.value_or(0); }

 private:
  std::optional<DirContext> context_;
};
