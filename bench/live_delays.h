#pragma once
// The delays of the live benchmarks: each figure taken on loopback and through the relay holding
// every chunk 5 and 20 ms each way, in wall-clock milliseconds, since the time is spent waiting.
#include <benchmark/benchmark.h>

inline void LiveDelays(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("delay_ms")->Arg(0)->Arg(5)->Arg(20);
  benchmark->Unit(benchmark::kMillisecond)->UseRealTime();
}

// Loopback alone, for the figures whose cost is not the network's.
inline void LoopbackOnly(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("delay_ms")->Arg(0);
  benchmark->Unit(benchmark::kMillisecond)->UseRealTime();
}
