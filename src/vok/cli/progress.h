// Progress of a long run (vok -w) on standard error, when that is a
// terminal: the phase, the documents and bytes read so far and the seconds
// since the start, redrawn in place at most five times a second and at
// every change of phase, and erased at the end.  Nothing at all when
// standard error is not a terminal, so that scripts see what they always
// saw.
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

// Notes the phase ("reading", "selecting", "writing") and, within it, one
// more document of `bytes` bytes; a phase without documents of its own
// ("selecting") shows the counts of the one before.
void vok_progress_note(vok_progress* p, const char* phase, uint64_t docs, uint64_t bytes);

// Erases the line; the display is off afterwards.
void vok_progress_end(vok_progress* p);

#endif  // VOK_CLI_PROGRESS_H
