#include "tests/fakes/service_commands.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

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

}  // namespace

command_result run_command(const std::vector<std::string>& argv, int timeout_ms) {
  command_result result;
  if (argv.empty()) return result;
  pipe_pair out;
  pipe_pair err;
  if (!out.ok() || !err.ok()) return result;
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return result;
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, out.write_end(), 1);
  ::posix_spawn_file_actions_adddup2(&actions, err.write_end(), 2);
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  for (std::string& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  out.close_write();
  err.close_write();
  if (rc != 0) return result;

  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
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
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.status = 128 + WTERMSIG(status);
  if (killed) result.err += "\n[killed after the time limit]";
  return result;
}

bool eventually(const std::function<bool()>& condition, int timeout_ms) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace kvx::test
