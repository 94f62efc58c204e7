// Progress of a long run (vok -w) on standard error, when that is a
// terminal: the phase, what it has done (documents and bytes, or the share
// of its work where the whole is known) and the seconds since the start,
// redrawn in place at most five times a second and at every change of
// phase, and erased at the end, on failure and on a fatal signal alike.
// Nothing at all when standard error is not a terminal, so that scripts
// see what they always saw.
#ifndef VOK_CLI_PROGRESS_H
#define VOK_CLI_PROGRESS_H

#include <chrono>
#include <cstdint>

struct vok_progress {
  bool on = false;
  const char* phase = nullptr;
  uint64_t docs = 0, bytes = 0;
  std::chrono::steady_clock::time_point start, drawn;
};

// Turns the display on when `wanted` and standard error is a terminal.
void vok_progress_start(vok_progress* p, bool wanted);

// Notes the phase ("reading", "writing", "applying") and, within it, one
// more document of `bytes` bytes.
void vok_progress_note(vok_progress* p, const char* phase, uint64_t docs, uint64_t bytes);

// Notes a phase of the tree's work ("sorting", "building", "linking",
// "inserting", "selecting") that has done `done` of `total` (0: not known).
void vok_progress_work(vok_progress* p, const char* phase, uint64_t done, uint64_t total);

// Erases the line; the display is off afterwards.
void vok_progress_end(vok_progress* p);

// Erases the line if one is on the screen; safe in a signal handler.
void vok_progress_erase_now();

#endif  // VOK_CLI_PROGRESS_H
