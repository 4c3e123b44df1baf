// Processes on the simulated host, with posix_spawn. The program path of the
// Windows forms is mapped below the host root and has no ".exe" here.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/sim/spawn_actions.h"

extern char** environ;

namespace kvx::platform {
namespace {

std::vector<char*> argv_of(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return argv;
}

// The exit status as Windows callers expect it: the code the program gave, or
// 128 + the signal that ended it.
int exit_status_of(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

class posix_processes final : public process_runner {
 public:
  int spawn_wait(const std::string& program, const std::vector<std::string>& arguments) override {
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv = argv_of(words);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
      errno = rc;
      return -1;
    }
    return exit_status_of(pid);
  }

  bool run_hidden(const std::vector<std::string>& command) override {
    if (command.empty()) return false;
    std::vector<std::string> words = command;
    std::vector<char*> argv = argv_of(words);
    // No window means no console: the process reads nothing and whatever it
    // writes is seen by nobody, as on Windows. Nothing else is inherited.
    sim::spawn_actions actions;
    if (!actions.open(0, "/dev/null", O_RDONLY) || !actions.open(1, "/dev/null", O_WRONLY) ||
        !actions.open(2, "/dev/null", O_WRONLY) || !actions.close_from(3)) {
      return false;
    }
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, argv[0], actions.get(), nullptr, argv.data(), environ);
    if (rc != 0) {
      errno = rc;
      return false;
    }
    exit_status_of(pid);
    return true;
  }

  int run_shell(const std::string& command) override { return std::system(command.c_str()); }
};

}  // namespace

process_runner& backend_processes() {
  static posix_processes instance;
  return instance;
}

std::string program_path() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.string();
}

std::string process_command_line(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    const std::string word = argv[i] != nullptr ? argv[i] : "";
    if (i > 0) line += ' ';
    if (word.empty() || word.find_first_of(" \t") != std::string::npos) {
      line += '"' + word + '"';
    } else {
      line += word;
    }
  }
  return line;
}

std::string load_program_string(std::uint32_t, const char* fallback) { return fallback != nullptr ? fallback : ""; }

std::string host_program_path(const std::string& windows_path) {
  std::string path = native_path(windows_path.c_str());
  if (path.size() > 4) {
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (tail == ".exe") path.resize(path.size() - 4);
  }
  return path;
}

std::string shell_quote(const std::string& word) {
  std::string out = "'";
  for (const char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::vector<std::string> net_command(const std::vector<std::string>& arguments) {
  std::string simhost = "simhost";
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&net_command), &info) != 0 && info.dli_fname != nullptr &&
      *info.dli_fname != '\0') {
    std::error_code ec;
    const std::filesystem::path module = std::filesystem::canonical(info.dli_fname, ec);
    if (!ec) {
      const std::filesystem::path beside = module.parent_path() / "simhost";
      if (::access(beside.c_str(), X_OK) == 0) simhost = beside.string();
    }
  }
  std::vector<std::string> words{simhost, "net"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  return words;
}

}  // namespace kvx::platform
