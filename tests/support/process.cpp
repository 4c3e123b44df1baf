#include "tests/support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/sim/spawn_actions.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/poll.h"

extern char** environ;

namespace kvx::test {
namespace {

class pipe_pair {
 public:
  pipe_pair() { ok_ = ::pipe2(fds_, O_CLOEXEC) == 0; }
  ~pipe_pair() {
    close_read();
    close_write();
  }
  pipe_pair(const pipe_pair&) = delete;
  pipe_pair& operator=(const pipe_pair&) = delete;
  bool ok() const { return ok_; }
  int read_end() const { return fds_[0]; }
  int write_end() const { return fds_[1]; }
  void close_read() {
    if (ok_ && fds_[0] >= 0) ::close(fds_[0]);
    fds_[0] = -1;
  }
  void close_write() {
    if (ok_ && fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
  bool ok_ = false;
};

// A NUL-terminated vector of pointers into words that outlive it.
std::vector<char*> pointers(std::vector<std::string>& words) {
  std::vector<char*> p;
  for (std::string& w : words) p.push_back(w.data());
  p.push_back(nullptr);
  return p;
}

pid_t spawn(const std::vector<std::string>& argv, sim::spawn_actions& actions,
            const std::vector<std::string>& extra_env) {
  if (argv.empty() || !actions.ok()) return -1;
  std::vector<std::string> words = argv;
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> args = pointers(words);
  std::vector<char*> envp = pointers(env);
  pid_t pid = -1;
  if (::posix_spawn(&pid, args[0], actions.get(), nullptr, args.data(), envp.data()) != 0) return -1;
  return pid;
}

int status_of(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status_of(status);
}

// The input as a file the child reads: written to a fresh temporary file that
// is unlinked once opened, so nothing is left behind.
int input_file(const std::string& input) {
  if (input.empty()) return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  char path[] = "/tmp/kvx-test-input-XXXXXX";
  const int fd = ::mkostemp(path, O_CLOEXEC);
  if (fd < 0) return -1;
  ::unlink(path);
  std::size_t done = 0;
  while (done < input.size()) {
    const ssize_t n = ::write(fd, input.data() + done, input.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

command_result run_command(const std::vector<std::string>& argv, int timeout_ms) {
  run_options options;
  options.timeout_ms = timeout_ms;
  return run_command(argv, options);
}

command_result run_command(const std::vector<std::string>& argv, const run_options& options) {
  command_result result;
  pipe_pair out;
  pipe_pair err;
  if (!out.ok() || !err.ok()) return result;
  const int in = input_file(options.input);
  if (in < 0) return result;
  sim::spawn_actions actions;
  actions.dup(in, 0);
  actions.dup(out.write_end(), 1);
  actions.dup(options.merge_err ? out.write_end() : err.write_end(), 2);
  const pid_t pid = spawn(argv, actions, options.extra_env);
  ::close(in);
  out.close_write();
  err.close_write();
  if (pid < 0) return result;

  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
  bool out_open = true;
  bool err_open = true;
  bool killed = false;
  while (out_open || err_open) {
    pollfd fds[2] = {{out_open ? out.read_end() : -1, POLLIN, 0}, {err_open ? err.read_end() : -1, POLLIN, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        (i == 0 ? out_open : err_open) = false;
      }
    }
  }
  result.status = reap(pid);
  if (killed) result.err += "\n[killed after the time limit]";
  return result;
}

command_result run_built(const char* program, const std::vector<std::string>& args, const run_options& options) {
  std::vector<std::string> argv{built_program(program).string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, options);
}

background_process::background_process(const std::vector<std::string>& argv, const std::filesystem::path& out,
                                       const std::vector<std::string>& extra_env, const std::filesystem::path& err) {
  sim::spawn_actions actions;
  actions.open(0, "/dev/null", O_RDONLY);
  if (!out.empty()) actions.open(1, out, O_WRONLY | O_CREAT | O_APPEND);
  if (!err.empty()) {
    actions.open(2, err, O_WRONLY | O_CREAT | O_APPEND);
  } else if (!out.empty()) {
    actions.dup(1, 2);
  }
  pid_ = spawn(argv, actions, extra_env);
  started_ = pid_ > 0;
}

background_process::~background_process() {
  if (running()) {
    signal(SIGKILL);
    status_ = reap(pid_);
    pid_ = -1;
  }
}

bool background_process::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = status_of(status);
    pid_ = -1;
    return false;
  }
  return true;
}

void background_process::signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

int background_process::wait(std::chrono::milliseconds limit) {
  if (!eventually([this] { return !running(); }, limit)) return -1;
  return status_;
}

int background_process::stop(std::chrono::milliseconds grace) {
  if (!running()) return status_;
  signal(SIGTERM);
  if (wait(grace) == -1 && pid_ > 0) {
    signal(SIGKILL);
    status_ = reap(pid_);
    pid_ = -1;
  }
  return status_;
}

command_result run_captured(const std::function<int()>& entry) {
  std::fflush(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  command_result r;
  r.status = entry();
  std::fflush(nullptr);
  r.out = testing::internal::GetCapturedStdout();
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return "<missing " + path.string() + ">";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace kvx::test
