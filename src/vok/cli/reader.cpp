// Reading documents: pieces of lines from a block buffer, so that a piece's
// length is known exactly even when it holds NUL bytes.
#include "reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "corpus.h"

namespace {

// Refills the block; false at the end of the file or on a failed read.
bool refill(vok_reader* r) {
  r->block_pos = 0;
  r->block_end = std::fread(r->block, 1, vok_reader::kBlock, r->file);
  if (r->block_end == 0 && std::ferror(r->file)) r->failed = true;
  return r->block_end > 0;
}

// Doubles the piece buffer, up to most_room; false (r->refused) when memory
// runs out or the line would be longer.
bool grow_piece(vok_reader* r) {
  if (r->room >= r->most_room) return !(r->refused = true);
  const size_t room = std::min(2 * (r->room + 1) - 1, r->most_room);
  char* bigger = static_cast<char*>(std::realloc(r->piece, room + 1));
  if (!bigger) return !(r->refused = true);
  r->piece = bigger;
  r->room = room;
  return true;
}

// Reads the next piece into r->piece, NUL-terminated; its length goes to
// *len and whether it ends inside its line to *cut.  False when the input
// has ended.
bool read_piece(vok_reader* r, size_t* len, bool* cut) {
  size_t n = 0;
  bool line_end = false;
  while (!line_end) {
    if (n == r->room && !(r->whole_lines && grow_piece(r))) break;
    const size_t room = r->room;
    if (r->block_pos == r->block_end && !refill(r)) break;
    const char* from = r->block + r->block_pos;
    size_t take = r->block_end - r->block_pos;
    if (take > room - n) take = room - n;
    const void* lf = std::memchr(from, '\n', take);
    if (lf != nullptr) {
      take = static_cast<size_t>(static_cast<const char*>(lf) - from) + 1;
      line_end = true;
    }
    std::memcpy(r->piece + n, from, take);
    n += take;
    r->block_pos += take;
  }
  r->piece[n] = '\0';
  *len = n;
  *cut = !line_end && n == r->room;
  return n > 0;
}

bool only_line_ends(const char* text, size_t len) {
  for (size_t i = 0; i < len; ++i)
    if (text[i] != '\r' && text[i] != '\n') return false;
  return true;
}

}  // namespace

vok_reader::~vok_reader() {
  std::free(piece);
  std::free(block);
}

bool vok_reader_open(vok_reader* r, FILE* file, const vok_settings& settings) {
  r->file = file;
  // The wide tree takes lines of any length up to its longest document,
  // which a piece holds with its line end (CR LF).
  r->whole_lines = settings.wide;
  r->lowercase = settings.lowercase != vok_settings::LOWER_NONE;
  r->most_room = static_cast<size_t>(vok_layout_limits(settings.wide).longest) + 2;
  if (r->piece == nullptr) {
    r->piece = static_cast<char*>(std::malloc(VOK_LINE_BUFFER));
    r->room = VOK_LINE_BUFFER - 1;
  }
  if (r->block == nullptr)
    r->block = static_cast<char*>(std::malloc(vok_reader::kBlock));
  r->cut = false;
  r->failed = false;
  r->block_pos = r->block_end = 0;
  return r->piece != nullptr && r->block != nullptr;
}

void vok_reader_unread(vok_reader* r, const char* bytes, size_t n) {
  std::memcpy(r->block, bytes, n);
  r->block_pos = 0;
  r->block_end = n;
}

bool vok_reader_rewind(vok_reader* r) {
  if (std::fseek(r->file, 0, SEEK_SET) != 0) return false;
  std::clearerr(r->file);
  r->phase = "writing";
  r->cut = false;
  r->failed = false;
  r->refused = false;
  r->block_pos = r->block_end = 0;
  return true;
}

bool vok_read_document(vok_reader* r, char** text, int32_t* len) {
  for (;;) {
    size_t n;
    bool cut;
    const bool continues = r->cut;
    if (!read_piece(r, &n, &cut) || r->refused) return false;
    r->cut = cut;
    if (continues && only_line_ends(r->piece, n)) continue;
    *text = r->piece;
    *len = trim_line_end(r->piece);  // stops at the first NUL
    if (r->lowercase)
      for (char* c = r->piece; *c; ++c)
        if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c | 0x20);
    if (r->progress) vok_progress_note(r->progress, r->phase, 1, n);
    return true;
  }
}

vok_match vok_reader_match(vok_reader* r, const char* doc, size_t len) {
  size_t k = 0;        // bytes of doc matched
  size_t bytes = 0;    // bytes of the line read, its line end included
  size_t crs = 0;      // CRs read that are content only if more follows
  bool stopped = false;  // a NUL ended the document: the rest is skipped
  bool same = true;
  auto next_is = [&](char c) {
    same = same && k < len && doc[k] == c;
    ++k;
  };
  for (;;) {
    if (r->block_pos == r->block_end && !refill(r)) break;
    char c = r->block[r->block_pos++];
    ++bytes;
    if (c == '\n') break;
    if (stopped) continue;
    if (c == '\0') {
      stopped = true;
    } else if (c == '\r') {
      ++crs;
    } else {
      for (; crs > 0; --crs) next_is('\r');
      if (r->lowercase && c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
      next_is(c);
    }
  }
  if (bytes == 0 || r->failed) return VOK_MATCH_END;
  if (r->progress) vok_progress_note(r->progress, r->phase, 1, bytes);
  return same && k == len ? VOK_MATCH_SAME : VOK_MATCH_DIFFERS;
}

bool vok_reader_shrink(vok_reader* r) {
  if (r->room <= VOK_LINE_BUFFER - 1) return true;
  char* smaller = static_cast<char*>(std::malloc(VOK_LINE_BUFFER));
  if (smaller == nullptr) return false;
  std::free(r->piece);
  r->piece = smaller;
  r->room = VOK_LINE_BUFFER - 1;
  return true;
}

int32_t trim_line_end(char* text) {
  size_t len = std::strlen(text);
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r'))
    text[--len] = '\0';
  return static_cast<int32_t>(len);
}
