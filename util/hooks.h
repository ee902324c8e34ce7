#pragma once
// Seams that let the plain-C++ layers drive the window without knowing it: the busy cursor and
// "let pending window messages run". Both do nothing until the window installs its own.
// One thread only (the window's); installing is not synchronised.
#include <cstdint>
#include <functional>

// An opaque screen cursor as the installed hook understands it (0 without a hook).
using ScreenCursor = int32_t;

struct BusyCursorHook {
  std::function<ScreenCursor()> begin;        // remember the cursor, show the hourglass
  std::function<void(ScreenCursor)> restore;  // put the remembered cursor back
};

// Installs the window's cursor hook; a hook with either function empty restores the no-op.
void SetBusyCursorHook(BusyCursorHook hook);
// Returns the current screen cursor and shows the hourglass cursor.
[[nodiscard]] ScreenCursor BeginBusyCursor();
// Sets the screen cursor back to `cursor`.
void RestoreCursor(ScreenCursor cursor);

// Shows the hourglass for its lifetime and restores the cursor on every way out.
class BusyCursorScope {
 public:
  BusyCursorScope() : saved_(BeginBusyCursor()) {}
  ~BusyCursorScope() { RestoreCursor(saved_); }
  BusyCursorScope(const BusyCursorScope&) = delete;
  BusyCursorScope& operator=(const BusyCursorScope&) = delete;

 private:
  ScreenCursor saved_;
};

// Installs the window's message pump; an empty function restores the no-op.
void SetMessagePump(std::function<void()> pump);
// Lets pending window messages run (repaints); long directory operations call it between entries
// and batches. Does nothing without an installed pump.
void ProcessPendingMessages();
