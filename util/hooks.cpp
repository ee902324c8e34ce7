// The busy-cursor and message-pump seams with their do-nothing defaults.
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
