// Wall and CPU seconds of one phase of a benchmark program; the CPU time is
// what the process itself used, so it holds up when the machine is busy
// with other work.
#ifndef VOK_BENCH_PHASE_CLOCK_H
#define VOK_BENCH_PHASE_CLOCK_H

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Peak resident memory of a phase: the kernel's high-water mark of this
// process is set back to the memory it holds now when the phase starts
// (`5` to /proc/self/clear_refs, Linux) and read when it ends.  -1 where
// the mark cannot be set back or read.
inline bool reset_peak_rss() {
  FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (!f) return false;
  const bool ok = std::fputs("5", f) >= 0;
  return std::fclose(f) == 0 && ok;
}

inline long peak_rss_kb() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::atol(line + 6);
  std::fclose(f);
  return kb;
}

#endif  // VOK_BENCH_PHASE_CLOCK_H
