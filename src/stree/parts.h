// Work split into parts that run on threads of their own: the one way the
// tree module and the programs run anything in parallel.  The threads live
// only for the call; nothing is kept between calls.
#ifndef VOK_STREE_PARTS_H
#define VOK_STREE_PARTS_H

#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

// Calls part(k) for every k in [0, parts) and returns once all are done:
// part 0 on the calling thread, each other on a new thread.  A part whose
// thread the system refuses runs on the calling thread after part 0, so
// every part runs whatever the system allows.  The parts must not throw.
template <typename F>
void stree_run_parts(int parts, F&& part) {
  std::vector<std::thread> helpers;
  int started = 1;
  try {
    helpers.reserve(parts > 1 ? static_cast<size_t>(parts - 1) : 0);
    for (; started < parts; ++started) helpers.emplace_back([&part, started] { part(started); });
  } catch (const std::exception&) {
    // No thread, or no memory for one: the rest run here.
  }
  part(0);
  for (int k = started; k < parts; ++k) part(k);
  for (std::thread& t : helpers) t.join();
}

// The first item of part k when n items are split into `parts` contiguous
// runs as even as can be; part k takes [stree_part_start(n, parts, k),
// stree_part_start(n, parts, k + 1)).  n times parts fits in 63 bits.
inline int64_t stree_part_start(int64_t n, int parts, int k) { return n * k / parts; }

#endif  // VOK_STREE_PARTS_H
