// The progress line on standard error.
#include "progress.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr auto kRedraw = std::chrono::milliseconds(200);
constexpr char kErase[] = "\r\033[K";

// Whether a line stands on the screen, for the signal handler.
volatile sig_atomic_t line_shown = 0;

void draw(vok_progress* p, std::chrono::steady_clock::time_point now, const char* what) {
  const double seconds = std::chrono::duration<double>(now - p->start).count();
  // The cursor goes back to the line's start, so a message that follows on
  // standard output writes over the line.
  std::fprintf(stderr, "%svok: %s: %s, %.0f s\r", kErase, p->phase, what, seconds);
  std::fflush(stderr);
  line_shown = 1;
  p->drawn = now;
}

// Whether the line is due: at a new phase, else at most five times a second.
bool due(vok_progress* p, const char* phase, std::chrono::steady_clock::time_point* now) {
  *now = std::chrono::steady_clock::now();
  const bool new_phase = phase != p->phase;
  p->phase = phase;
  return new_phase || *now - p->drawn >= kRedraw;
}

}  // namespace

void vok_progress_start(vok_progress* p, bool wanted) {
  p->on = wanted && isatty(STDERR_FILENO);
  p->start = p->drawn = std::chrono::steady_clock::now();
}

void vok_progress_note(vok_progress* p, const char* phase, uint64_t docs, uint64_t bytes) {
  if (!p->on) return;
  if (phase != p->phase) p->docs = p->bytes = 0;  // a new pass counts anew
  p->docs += docs;
  p->bytes += bytes;
  // Reading the clock costs little, but not nothing: once in 256 documents.
  if (phase == p->phase && (p->docs & 255) != 0) return;
  std::chrono::steady_clock::time_point now;
  if (!due(p, phase, &now)) return;
  char what[64];
  std::snprintf(what, sizeof what, "%llu documents, %.1f MB",
                static_cast<unsigned long long>(p->docs), p->bytes / 1e6);
  draw(p, now, what);
}

void vok_progress_work(vok_progress* p, const char* phase, uint64_t done, uint64_t total) {
  if (!p->on) return;
  std::chrono::steady_clock::time_point now;
  if (!due(p, phase, &now)) return;
  char what[64];
  if (total > 0) {
    std::snprintf(what, sizeof what, "%.0f%%", 100.0 * static_cast<double>(done) / static_cast<double>(total));
  } else {
    std::snprintf(what, sizeof what, "%llu documents, %.1f MB",
                  static_cast<unsigned long long>(p->docs), p->bytes / 1e6);
  }
  draw(p, now, what);
}

void vok_progress_end(vok_progress* p) {
  if (p->on) {
    std::fputs(kErase, stderr);
    std::fflush(stderr);
  }
  line_shown = 0;
  p->on = false;
}

void vok_progress_erase_now() {
  if (line_shown) {
    const ssize_t written = write(STDERR_FILENO, kErase, sizeof kErase - 1);
    (void)written;
  }
}
