// The busy-cursor, message-pump and work seams with their do-nothing defaults.
#include "util/hooks.h"

#include <utility>

namespace {

BusyCursorHook& CursorHook() {
  static BusyCursorHook hook;
  return hook;
}

std::function<void()>& Pump() {
  static std::function<void()> pump;
  return pump;
}

WorkHook& Work() {
  static WorkHook hook;
  return hook;
}

}  // namespace

void SetBusyCursorHook(BusyCursorHook hook) {
  if (!hook.begin || !hook.restore) {
    hook = {};
  }
  CursorHook() = std::move(hook);
}

ScreenCursor BeginBusyCursor() {
  const BusyCursorHook& hook = CursorHook();
  return hook.begin ? hook.begin() : 0;
}

void RestoreCursor(ScreenCursor cursor) {
  const BusyCursorHook& hook = CursorHook();
  if (hook.restore) {
    hook.restore(cursor);
  }
}

void SetMessagePump(std::function<void()> pump) {
  Pump() = std::move(pump);
}

void ProcessPendingMessages() {
  if (const std::function<void()>& pump = Pump()) {
    pump();
  }
}

void SetWorkHook(WorkHook hook) {
  if (!hook.entriesRead || !hook.itemsDone || !hook.stopRequested) {
    hook = {};
  }
  Work() = std::move(hook);
}

void ReportEntriesRead(int64_t count) {
  if (const WorkHook& hook = Work(); hook.entriesRead) {
    hook.entriesRead(count);
  }
}

void ReportItemsDone(int64_t done, int64_t total, std::string_view many) {
  if (const WorkHook& hook = Work(); hook.itemsDone) {
    hook.itemsDone(done, total, many);
  }
}

bool StopRequested() {
  const WorkHook& hook = Work();
  return hook.stopRequested && hook.stopRequested();
}

bool ContinueAfterMessages() {
  ProcessPendingMessages();
  return !StopRequested();
}
