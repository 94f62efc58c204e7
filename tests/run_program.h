// Running another program from a test: its exit status and what it wrote,
// and small file helpers, for the tests of vok-dict, the conversion script,
// the library example and the installation.
#ifndef VOK_TESTS_RUN_PROGRAM_H
#define VOK_TESTS_RUN_PROGRAM_H

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct program_result {
  int status = -1;   // exit status, or 128 + signal; -1 if it never ran
  std::string out;   // standard output
  std::string err;   // standard error
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

// Runs argv[0] with the arguments in directory `dir` (the current one when
// empty), standard input from /dev/null.  Standard error goes through a
// temporary file, so that neither stream can block the other.
inline program_result run_program(const std::vector<std::string>& argv,
                                  const std::string& dir = "") {
  program_result r;
  char err_name[] = "/tmp/vok-test-stderr-XXXXXX";
  int err_fd = mkstemp(err_name);
  if (err_fd < 0) return r;
  int fds[2];
  if (pipe(fds) != 0) {
    close(err_fd);
    return r;
  }
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  if (pid > 0) {
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, n);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus)
                                  : 128 + WTERMSIG(wstatus);
  }
  close(fds[0]);
  close(err_fd);
  r.err = read_file(err_name);
  unlink(err_name);
  return r;
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
