// Wall and CPU seconds of one phase of a benchmark program; the CPU time is
// what the process itself used, so it holds up when the machine is busy
// with other work.
#ifndef VOK_BENCH_PHASE_CLOCK_H
#define VOK_BENCH_PHASE_CLOCK_H

#include <chrono>
#include <ctime>

struct phase_clock {
  std::chrono::steady_clock::time_point wall0;
  std::clock_t cpu0;
};

inline phase_clock start_clock() {
  return {std::chrono::steady_clock::now(), std::clock()};
}

inline void stop_clock(const phase_clock& c, double* wall_s, double* cpu_s) {
  *wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                          c.wall0)
                .count();
  *cpu_s = static_cast<double>(std::clock() - c.cpu0) / CLOCKS_PER_SEC;
}

#endif  // VOK_BENCH_PHASE_CLOCK_H
