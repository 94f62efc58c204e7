// Writing the output beside the old one and renaming it over it on success.
#include "output.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "progress.h"

namespace {

// The new file's name, for the signal handler, which may only read plain
// memory: set before the file exists, cleared once it is gone or renamed.
char partial_name[PATH_MAX + 64];
volatile sig_atomic_t partial_exists = 0;

void on_signal(int sig) {
  if (partial_exists) unlink(partial_name);
  vok_progress_erase_now();
  signal(sig, SIG_DFL);
  raise(sig);
}

// Blocks the three signals while the handler's view of the new file changes.
struct signals_held {
  sigset_t old;
  signals_held() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &old);
  }
  ~signals_held() { sigprocmask(SIG_SETMASK, &old, nullptr); }
};

// The file to replace: the target of a symbolic link, else the path.
std::string target_of(const char* path) {
  struct stat s;
  if (lstat(path, &s) == 0 && S_ISLNK(s.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved)) return resolved;
  }
  return path;
}

mode_t new_file_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

void vok_output_catch_signals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&action.sa_mask, sig);
    sigaction(sig, &action, nullptr);
  }
  signal(SIGXFSZ, SIG_IGN);
}

bool vok_output_open(vok_output* out, const char* path) {
  *out = vok_output();
  if (std::strcmp(path, "-") == 0) {
    out->file = stdout;
    out->direct = true;
    return true;
  }
  out->target = target_of(path);
  struct stat old;
  const bool exists = stat(out->target.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) {  // a device or a pipe
    out->file = std::fopen(path, "w");
    out->direct = true;
    return out->file != nullptr;
  }
  // Renaming over a file needs no right to write it; a user who has none
  // must not see it replaced.
  if (exists && access(out->target.c_str(), W_OK) != 0) return false;
  const std::string name = out->target + ".vok-partial-XXXXXX";
  if (name.size() >= sizeof partial_name) return false;
  int fd;
  {
    signals_held held;
    std::memcpy(partial_name, name.c_str(), name.size() + 1);
    fd = mkstemp(partial_name);
    if (fd < 0) return false;
    partial_exists = 1;
  }
  out->partial = partial_name;
  if (exists) {
    if (fchown(fd, old.st_uid, old.st_gid) != 0) {
      // Only the owner's permissions can be kept then.
    }
    fchmod(fd, old.st_mode & 07777);
  } else {
    fchmod(fd, new_file_mode());
  }
  out->file = fdopen(fd, "w");
  if (!out->file) {
    close(fd);
    vok_output_abandon(out);
    return false;
  }
  return true;
}

bool vok_output_commit(vok_output* out) {
  if (!out->file) return false;
  FILE* f = out->file;
  out->file = nullptr;
  bool ok = std::fflush(f) == 0 && !std::ferror(f);
  if (f == stdout) return ok;
  if (!out->direct) ok = fsync(fileno(f)) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (out->direct) return ok;
  signals_held held;
  ok = ok && std::rename(out->partial.c_str(), out->target.c_str()) == 0;
  if (!ok) unlink(out->partial.c_str());
  partial_exists = 0;
  out->partial.clear();
  return ok;
}

void vok_output_abandon(vok_output* out) {
  if (out->file && out->file != stdout) std::fclose(out->file);
  out->file = nullptr;
  if (out->partial.empty()) return;
  signals_held held;
  unlink(out->partial.c_str());
  partial_exists = 0;
  out->partial.clear();
}
