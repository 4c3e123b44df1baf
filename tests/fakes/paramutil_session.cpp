#include "tests/fakes/paramutil_session.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

extern char** environ;

namespace kvx::test {
namespace {

bool write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  return static_cast<bool>(f);
}

// posix_spawn file actions, destroyed on every path.
class file_actions {
 public:
  file_actions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~file_actions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  file_actions(const file_actions&) = delete;
  file_actions& operator=(const file_actions&) = delete;
  bool redirect(int fd, const std::filesystem::path& path, int flags) {
    return ok_ && ::posix_spawn_file_actions_addopen(&actions_, fd, path.c_str(), flags, 0600) == 0;
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

}  // namespace

std::string read_file(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return "<missing " + path.string() + ">";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

program_run run_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                        const std::string& input, const std::filesystem::path& scratch) {
  program_run run;
  const std::filesystem::path in = scratch / "session.in";
  const std::filesystem::path out = scratch / "session.out";
  const std::filesystem::path err = scratch / "session.err";
  if (!write_file(in, input)) return run;
  file_actions actions;
  if (!actions.redirect(0, in, O_RDONLY) || !actions.redirect(1, out, O_WRONLY | O_CREAT | O_TRUNC) ||
      !actions.redirect(2, err, O_WRONLY | O_CREAT | O_TRUNC)) {
    return run;
  }
  std::vector<std::string> words{program.string()};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv.data(), environ) != 0) return run;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return run;
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = read_file(out);
  run.err = read_file(err);
  return run;
}

}  // namespace kvx::test
