#pragma once
// Directory handles released on every way out: a duplicate of a context (the reading and
// searching units work through one, so that an iteration they give up midway ends with it) and
// a client buffer. Each keeps the client it was made with, which must outlive it.
#include <cstdint>
#include <optional>

#include "directory/client/dir_client.h"

class ScopedDirContext {
 public:
  explicit ScopedDirContext(DirClient& client) : client_(client) {}
  ~ScopedDirContext() {
    if (held_) {
      (void)client_.DirFreeContext(context_);
    }
  }
  ScopedDirContext(const ScopedDirContext&) = delete;
  ScopedDirContext& operator=(const ScopedDirContext&) = delete;

  // Duplicates `original`; the client's code (0 when this now holds the copy).
  [[nodiscard]] int32_t Duplicate(DirContext original) {
    DirContext copy = 0;
    const int32_t code = client_.DirDuplicateContext(original, copy);
    if (code == kDirOk) {
      context_ = copy;
      held_ = true;
    }
    return code;
  }
  // The copy; 0 before a successful Duplicate.
  [[nodiscard]] DirContext Get() const { return context_; }

 private:
  DirClient& client_;
  // Not an optional: GCC takes its value for unset where the copy is made in an inlined caller.
  DirContext context_ = 0;
  bool held_ = false;
};

class ScopedDirBuffer {
 public:
  explicit ScopedDirBuffer(DirClient& client) : client_(client) {}
  ~ScopedDirBuffer() {
    if (buffer_) {
      (void)client_.DirFreeBuffer(*buffer_);
    }
  }
  ScopedDirBuffer(const ScopedDirBuffer&) = delete;
  ScopedDirBuffer& operator=(const ScopedDirBuffer&) = delete;

  // The client's code (0 when this now holds the buffer).
  [[nodiscard]] int32_t Allocate(uint32_t size) {
    DirBuffer buffer = 0;
    const int32_t code = client_.DirAllocBuffer(size, buffer);
    if (code == kDirOk) {
      buffer_ = buffer;
    }
    return code;
  }
  // Allocates the buffer and prepares it for `operation` through `context`.
  [[nodiscard]] int32_t Prepare(DirContext context, uint32_t size, int operation) {
    const int32_t code = Allocate(size);
    return code != kDirOk ? code : client_.DirInitBuffer(context, operation, Get());
  }
  // The buffer; 0 before a successful Allocate.
  [[nodiscard]] DirBuffer Get() const { return buffer_.value_or(0); }

 private:
  DirClient& client_;
  std::optional<DirBuffer> buffer_;
};
