// Running another program, or a function, in a child process from a test:
// its exit status and what it wrote, under an optional time limit and an
// optional limit on its address space; and small file helpers.
#ifndef VOK_TESTS_RUN_PROGRAM_H
#define VOK_TESTS_RUN_PROGRAM_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

// How to run the child.
struct run_options {
  std::string dir{};                     // working directory; current if empty
  std::string stdin_file = "/dev/null";  // standard input
  int timeout_seconds = 0;    // killed after this long and reported as hung;
                              // 0: no limit
  rlim_t address_space = 0;   // RLIMIT_AS of the child in bytes; 0: unchanged
};

struct program_result {
  int status = -1;       // exit status, or 128 + signal; -1 if it never ran
                         // or hung
  std::string out;       // standard output
  std::string err;       // standard error
  bool hung = false;     // killed at the time limit
  bool started = false;  // the program was executed (exec did not fail)
};

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::filesystem::path& path,
                       const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

namespace run_program_detail {

// In the forked child: sets up the standard streams, directory and limit,
// then executes `argv` or, when it is null, runs `body`, whose return value
// is the exit status.  Allocates nothing after the limit is applied.  A
// failed exec sends its errno through `report_fd`, which is close-on-exec.
[[noreturn]] inline void in_child(const run_options& opts, char* const* argv,
                                  const std::function<int()>& body,
                                  int out_fd, int err_fd, int report_fd) {
  dup2(out_fd, STDOUT_FILENO);
  dup2(err_fd, STDERR_FILENO);
  int in_fd = open(opts.stdin_file.c_str(), O_RDONLY);
  if (in_fd < 0 || dup2(in_fd, STDIN_FILENO) < 0) _exit(126);
  if (!opts.dir.empty() && chdir(opts.dir.c_str()) != 0) _exit(126);
  if (opts.address_space != 0) {
    rlimit rl{opts.address_space, opts.address_space};
    if (setrlimit(RLIMIT_AS, &rl) != 0) _exit(125);
  }
  if (!argv) {
    int status = body();
    std::fflush(nullptr);
    _exit(status);
  }
  execv(argv[0], argv);
  int e = errno;
  if (write(report_fd, &e, sizeof e) < 0) _exit(127);
  _exit(127);
}

// Reads the pipes until all are closed or the deadline passes; then the
// child is killed.  Returns whether it was.
inline bool collect(pid_t pid, pollfd (&fds)[3], std::string* (&sinks)[3],
                    int timeout_seconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::seconds(timeout_seconds);
  int open_fds = 3;
  while (open_fds > 0) {
    int wait_ms = -1;
    if (timeout_seconds > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        kill(pid, SIGKILL);
        return true;
      }
      wait_ms = static_cast<int>(left.count());
    }
    if (poll(fds, 3, wait_ms) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (int k = 0; k < 3; ++k) {
      if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buf[4096];
      ssize_t n = read(fds[k].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[k]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[k].fd);
        fds[k].fd = -1;
        --open_fds;
      }
    }
  }
  return false;
}

// Forks; the child runs `argv` or `body` (see in_child).  Collects both
// output streams and the status.
inline program_result run(const run_options& opts, char* const* argv,
                          const std::function<int()>& body) {
  program_result r;
  int out_pipe[2], err_pipe[2], report_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return r;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return r;
  }
  if (pipe2(report_pipe, O_CLOEXEC) != 0) {
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
      close(fd);
    return r;
  }
  std::fflush(nullptr);  // or the child would repeat what is still buffered
  pid_t pid = fork();
  if (pid == 0)
    in_child(opts, argv, body, out_pipe[1], err_pipe[1], report_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  close(report_pipe[1]);
  pollfd fds[3] = {{out_pipe[0], POLLIN, 0},
                   {err_pipe[0], POLLIN, 0},
                   {report_pipe[0], POLLIN, 0}};
  std::string report;
  std::string* sinks[3] = {&r.out, &r.err, &report};
  if (pid > 0) r.hung = collect(pid, fds, sinks, opts.timeout_seconds);
  r.started = pid > 0 && fds[2].fd < 0 && report.empty();
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  if (pid < 0) return r;
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (r.hung) return r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus)
                                : 128 + WTERMSIG(wstatus);
  return r;
}

}  // namespace run_program_detail

// Runs the program argv[0] with the arguments as `opts` says.
inline program_result run_program(const std::vector<std::string>& argv,
                                  const run_options& opts = {}) {
  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  return run_program_detail::run(opts, args.data(), {});
}

// Runs `body` in a forked copy of this process as `opts` says; its return
// value is the exit status.
inline program_result run_in_child(const std::function<int()>& body,
                                   const run_options& opts = {}) {
  return run_program_detail::run(opts, nullptr, body);
}

// A fresh temporary directory, removed with everything in it at the end of
// its scope.
class temp_dir {
 public:
  temp_dir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vok-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~temp_dir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const {
    return path_ / name;
  }

 private:
  std::filesystem::path path_;
};

#endif  // VOK_TESTS_RUN_PROGRAM_H
