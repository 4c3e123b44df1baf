// Processes and the program's own facts on Windows.
#include <process.h>
#include <windows.h>

#include <cstdlib>

#include "platform/process.h"

namespace kvx::platform {
namespace {

// A start that fails for want of something the system lacks for a moment is
// tried again before it counts as failed: the caller (setup, through the
// installer hooks) would otherwise stop half-way on a failure that says
// nothing about the command. Wine's process start fails so, with
// ERROR_INTERNAL_ERROR, about once in a few thousand starts on a busy host.
constexpr int start_attempts = 3;
constexpr DWORD start_retry_pause_ms = 250;

bool start_may_succeed_later(DWORD error) {
  switch (error) {
    case ERROR_INTERNAL_ERROR:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_COMMITMENT_LIMIT:
      return true;
    default:
      return false;
  }
}

/// Makes `attempt` (true when the process started; otherwise it sets `error`)
/// up to start_attempts times, while the error may pass. Whether it started.
template <typename Attempt>
bool start_with_retries(Attempt attempt) {
  for (int n = 1;; ++n) {
    DWORD error = 0;
    if (attempt(error)) return true;
    if (n == start_attempts || !start_may_succeed_later(error)) return false;
    ::Sleep(start_retry_pause_ms);
  }
}

// One word of a command line: in double quotes when it holds a blank.
std::string command_word(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t") == std::string::npos) return word;
  return "\"" + word + "\"";
}

class win32_processes final : public process_runner {
 public:
  int spawn_wait(const std::string& program, const std::vector<std::string>& arguments) override {
    // _spawnv joins the words with blanks and quotes nothing: the program's
    // own word is quoted here so that a path with blanks stays one word.
    std::vector<std::string> words{command_word(program)};
    for (const std::string& a : arguments) words.push_back(command_word(a));
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    argv.push_back(nullptr);
    intptr_t status = -1;
    start_with_retries([&](DWORD& error) {
      // A program may end with -1 itself: only a start that failed sets the
      // system error, which the C library keeps in _doserrno.
      _doserrno = 0;
      status = ::_spawnv(_P_WAIT, program.c_str(), argv.data());
      error = _doserrno;
      return status != -1 || error == 0;
    });
    return static_cast<int>(status);
  }

  bool run_hidden(const std::vector<std::string>& command) override {
    if (command.empty()) return false;
    std::string line;
    for (const std::string& w : command) {
      if (!line.empty()) line += ' ';
      line += command_word(w);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const bool started = start_with_retries([&](DWORD& error) {
      // CreateProcessA may write to the line: each attempt has its own copy.
      std::string writable = line;
      if (::CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS,
                           nullptr, nullptr, &startup, &info)) {
        return true;
      }
      error = ::GetLastError();
      return false;
    });
    if (!started) return false;
    ::CloseHandle(info.hThread);
    ::WaitForSingleObject(info.hProcess, INFINITE);
    ::CloseHandle(info.hProcess);
    return true;
  }

  int run_shell(const std::string& command) override { return std::system(command.c_str()); }
};

}  // namespace

process_runner& backend_processes() {
  static win32_processes instance;
  return instance;
}

std::string program_path() {
  // GetModuleFileNameA cuts the path to the buffer without saying so except
  // through the length: grow until it fits.
  for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
    std::string path(size, '\0');
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), size);
    if (n == 0) return std::string();
    if (n < size) {
      path.resize(n);
      return path;
    }
  }
  return std::string();
}

std::string process_command_line(int, char**) {
  const char* line = ::GetCommandLineA();
  return line != nullptr ? line : "";
}

std::string load_program_string(std::uint32_t id, const char* fallback) {
  char text[256] = {};
  const int n = ::LoadStringA(::GetModuleHandleA(nullptr), id, text, sizeof text);
  if (n > 0) return std::string(text, static_cast<std::size_t>(n));
  return fallback != nullptr ? fallback : "";
}

std::string host_program_path(const std::string& windows_path) { return windows_path; }

std::string shell_quote(const std::string& word) { return "\"" + word + "\""; }

std::vector<std::string> net_command(const std::vector<std::string>& arguments) {
  std::vector<std::string> words{"net"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  return words;
}

}  // namespace kvx::platform
