// Runs a command and writes what it used, to the microsecond.
//
// Usage: rusage OUT_FILE COMMAND [ARG...]
//
// OUT_FILE gets the lines of /usr/bin/time -v that bench/run.sh reads, with
// the user and system times to the microsecond where time prints hundredths:
// a 0.5 MB run takes 8 to 11 hundredths, too few to compare sizes by.  The
// figures are the command's and those of every descendant it waited for (so
// they hold through timeout).  The peak resident set also counts the process
// before it started the command, which is why this is a small C++ program
// and not a script: an interpreter's own pages would be the peak of a small
// run.  Exits with the command's status, or 128 plus the signal that ended
// it; 127 when the command cannot be started.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: rusage OUT_FILE COMMAND [ARG...]\n");
    return 2;
  }
  const pid_t child = fork();
  if (child < 0) {
    std::perror("rusage: fork");
    return 127;
  }
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "rusage: %s: %s\n", argv[2], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  rusage used{};
  while (wait4(child, &status, 0, &used) < 0) {
    if (errno != EINTR) {
      std::perror("rusage: wait4");
      return 127;
    }
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (!out) {
    std::perror(argv[1]);
    return 127;
  }
  std::fprintf(out, "\tUser time (seconds): %.6f\n", seconds(used.ru_utime));
  std::fprintf(out, "\tSystem time (seconds): %.6f\n", seconds(used.ru_stime));
  std::fprintf(out, "\tMaximum resident set size (kbytes): %ld\n", used.ru_maxrss);
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 127;
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
