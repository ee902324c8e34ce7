#pragma once
// The user's stop as the lower layers meet it: while this lives, the message pump counts its
// runs and the stop is requested from the `stopAtPump`-th one on, and the entries reported read
// are counted.
#include <cstdint>
#include <string_view>

#include "util/hooks.h"

class StopAtPump {
 public:
  explicit StopAtPump(int stopAtPump) : stopAtPump_(stopAtPump) {
    SetMessagePump([this] { stop_ = stop_ || ++pumps_ == stopAtPump_; });
    SetWorkHook({[this](int64_t count) { entriesRead_ += count; },
                 [](int64_t, int64_t, std::string_view) {}, [this] { return stop_; }});
  }
  ~StopAtPump() {
    SetWorkHook({});
    SetMessagePump({});
  }
  StopAtPump(const StopAtPump&) = delete;
  StopAtPump& operator=(const StopAtPump&) = delete;

  // Starts counting afresh, for a second run of the same case.
  void Restart() {
    pumps_ = 0;
    stop_ = false;
    entriesRead_ = 0;
  }
  [[nodiscard]] int64_t EntriesRead() const { return entriesRead_; }

 private:
  int stopAtPump_;
  int pumps_ = 0;
  bool stop_ = false;
  int64_t entriesRead_ = 0;
};
