// The progress line on standard error.
#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace {

constexpr auto kRedraw = std::chrono::milliseconds(200);

void draw(vok_progress* p, std::chrono::steady_clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - p->start).count();
  // The cursor goes back to the line's start, so a message that follows on
  // standard output writes over the line.
  std::fprintf(stderr, "\r\033[Kvok: %s: %llu documents, %.1f MB, %.0f s\r", p->phase,
               static_cast<unsigned long long>(p->docs), p->bytes / 1e6, seconds);
  std::fflush(stderr);
  p->drawn = now;
}

}  // namespace

void vok_progress_start(vok_progress* p, bool wanted) {
  p->on = wanted && isatty(STDERR_FILENO);
  p->start = p->drawn = std::chrono::steady_clock::now();
}

void vok_progress_note(vok_progress* p, const char* phase, uint64_t docs, uint64_t bytes) {
  if (!p->on) return;
  const bool new_phase = phase != p->phase;
  if (new_phase && docs > 0) p->docs = p->bytes = 0;  // a new pass counts anew
  p->phase = phase;
  p->docs += docs;
  p->bytes += bytes;
  // Reading the clock costs little, but not nothing: once in 256 documents.
  if (!new_phase && (p->docs & 255) != 0) return;
  auto now = std::chrono::steady_clock::now();
  if (new_phase || now - p->drawn >= kRedraw) draw(p, now);
}

void vok_progress_end(vok_progress* p) {
  if (p->on) std::fputs("\r\033[K", stderr);
  p->on = false;
}
