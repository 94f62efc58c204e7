// The output file of a run, replaced only when the run has succeeded.
//
// A regular output file (or one still to be made) is written as a new file
// beside it, NAME.vok-partial-XXXXXX, which is renamed over it once every
// byte has been written and flushed to the disk; a symbolic link is written
// through to its target.  The new file takes the old one's permission bits
// (and owner, where the process may give it), or those a new file gets.
// Until then the previous file stays exactly as it was.  Standard output
// ("-") and outputs that are no regular files (a device such as /dev/full
// or /dev/null, a pipe) are written directly.
//
// While a new file exists, SIGINT, SIGTERM and SIGHUP remove it (and erase
// the progress line, see progress.h) before the process dies of the signal;
// SIGKILL can leave it behind, under its telling name.  SIGXFSZ is ignored,
// so that a file-size limit shows as a failed write.
#ifndef VOK_CLI_OUTPUT_H
#define VOK_CLI_OUTPUT_H

#include <cstdio>
#include <string>

struct vok_output {
  FILE* file = nullptr;
  bool direct = false;  // written in place, never replaced
  std::string target;   // the file replaced (a link's target)
  std::string partial;  // the new file beside it, until committed
};

// Opens the output named `path`; false when it cannot be (a missing
// directory, no permission to write the file or beside it).
bool vok_output_open(vok_output* out, const char* path);

// Closes the output, and for a new file syncs it and renames it over the
// target.  False when any of that fails; the new file is then removed.
bool vok_output_commit(vok_output* out);

// Closes the output and removes the new file: the previous file, if any,
// stays as it was.  Nothing when already committed or abandoned.
void vok_output_abandon(vok_output* out);

// Installs the handlers of SIGINT, SIGTERM and SIGHUP (and ignores SIGXFSZ)
// for the rest of the process.
void vok_output_catch_signals();

#endif  // VOK_CLI_OUTPUT_H
