#pragma once
// Seams that let the plain-C++ layers drive the window without knowing it: the busy cursor, "let
// pending window messages run", and the progress and stop of long work. All do nothing until the
// window installs its own.
// One thread only (the window's); installing is not synchronised.
#include <cstdint>
#include <functional>
#include <string_view>

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

// What a long operation tells the window between entries and batches, and how it learns that the
// user wants it stopped.
struct WorkHook {
  std::function<void(int64_t count)> entriesRead;  // `count` more entries were read
  // `done` of `total` items are done; `many` is what they are ("items", "roles").
  std::function<void(int64_t done, int64_t total, std::string_view many)> itemsDone;
  std::function<bool()> stopRequested;
};

// The code of an operation that ended because StopRequested() said so (the program's own, like
// the listing's end, -1).
inline constexpr int32_t kWorkStopped = -2;

// Installs the window's work hook; a hook with any function empty restores the no-op.
void SetWorkHook(WorkHook hook);
// Tells the window that `count` more entries were read (a listing's entries, a search's finds).
void ReportEntriesRead(int64_t count);
// Tells the window that `done` of the operation's `total` items are done, the items named by the
// plural `many`.
void ReportItemsDone(int64_t done, int64_t total, std::string_view many = "items");
// True when the user asked the running operation to stop; always false without a hook. Only
// pending messages can bring the request, so it changes only in ProcessPendingMessages.
[[nodiscard]] bool StopRequested();
// ProcessPendingMessages(), then true unless the user has asked to stop: the check a long
// operation makes between entries.
[[nodiscard]] bool ContinueAfterMessages();
