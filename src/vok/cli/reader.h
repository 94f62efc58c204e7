// The documents of an input file: one per line, read the same way in both
// passes.
//
// A piece of the input is a line with its line end, or, of a line longer
// than VOK_LINE_BUFFER - 1 characters, the next VOK_LINE_BUFFER - 1
// characters: every document then fits the tree's 19-bit positions.  A
// piece's document is its text up to its first NUL byte, without the CR and
// LF characters at its end.  A piece that holds nothing but line-end
// characters and continues a cut line is no document: it is the end of the
// line before it (so a line of exactly VOK_LINE_BUFFER - 1 characters, or a
// CRLF line cut between its CR and LF, gives as many documents as the same
// line ending in LF alone).  For the wide tree (vok -w) the buffer grows
// instead, and every line is one piece, up to the longest document the
// tree takes.
#ifndef VOK_CLI_READER_H
#define VOK_CLI_READER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "progress.h"
#include "settings.h"

// Bytes of the line buffer; a piece is at most VOK_LINE_BUFFER - 1 bytes.
constexpr int VOK_LINE_BUFFER = 524288;

struct vok_reader {
  FILE* file = nullptr;
  char* piece = nullptr;  // the current piece, room + 1 bytes
  size_t room = 0;        // VOK_LINE_BUFFER - 1; grows with whole lines
  bool whole_lines = false;  // every line is one piece (the wide tree)
  bool lowercase = false;    // ASCII A-Z of every document are lowered (--lowercase)
  size_t most_room = 0;   // the longest piece a reader of whole lines keeps
  bool cut = false;       // the last piece ended inside its line
  bool failed = false;    // a read failed
  // A line the run cannot hold: memory ran out growing the piece, or the
  // line is longer than the tree's longest string (wide tree only).
  bool refused = false;
  // The file is read in blocks of this size.
  static constexpr size_t kBlock = 1 << 16;
  char* block = nullptr;
  size_t block_pos = 0;
  size_t block_end = 0;
  // Where each document read is noted, if anywhere, and as which phase.
  vok_progress* progress = nullptr;
  const char* phase = "reading";

  ~vok_reader();
};

// Prepares the reader for `file` from its current position, reading the
// documents the settings' tree takes; false when memory runs out.
bool vok_reader_open(vok_reader* reader, FILE* file, const vok_settings& settings);

// Puts back the first n bytes of the file (at most kBlock), read from it
// before the reader's first read, to be read again first.
void vok_reader_unread(vok_reader* reader, const char* bytes, size_t n);

// Rewinds the file to its start for another pass, as the "writing" phase,
// with no failure or refusal of the pass before kept; false when it cannot
// be rewound.
bool vok_reader_rewind(vok_reader* reader);

// The next document: its text (NUL-terminated in the reader's buffer, valid
// until the next call, lowercased when the settings ask) and length.  False at the end of the input, after a
// failed read (reader->failed), or at a line it cannot hold (reader->refused).
bool vok_read_document(vok_reader* reader, char** text, int32_t* len);

// What vok_reader_match found.
enum vok_match { VOK_MATCH_SAME, VOK_MATCH_DIFFERS, VOK_MATCH_END };
// For a reader of whole lines: reads the next line from the block buffer,
// without holding it whole, and tells whether its document (as
// vok_read_document would give it) is doc[0..len); VOK_MATCH_END at the
// end of the input or after a failed read (reader->failed).  So a second
// pass over a corpus of long lines takes no memory for them.
vok_match vok_reader_match(vok_reader* reader, const char* doc, size_t len);
// Gives back the room a reader of whole lines grew for its longest line.
// False when memory runs out (the reader is then as it was).
bool vok_reader_shrink(vok_reader* reader);
// Removes every trailing CR and LF from the NUL-terminated text in place
// (overwriting them with NULs) and returns the remaining length.  Never
// looks before text[0].
int32_t trim_line_end(char* text);

#endif  // VOK_CLI_READER_H
