// Processes and the program's own facts: running other programs the three
// ways the installer hooks need (the C library's spawn in wait mode,
// CreateProcessA without a window, the C library's system()), this program's
// path, command line and string resources, and the system's service command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvx::platform {

class process_runner {
 public:
  virtual ~process_runner() = default;
  /// _spawnv(P_WAIT): runs `program` (a path, no search) with `arguments` and
  /// waits without limit. The program's exit status, or -1 when it fails to
  /// start, with errno telling why. On the simulated host a program ended by a
  /// signal gives 128 + the signal number.
  [[nodiscard]] virtual int spawn_wait(const std::string& program, const std::vector<std::string>& arguments) = 0;
  /// CreateProcessA(no application name, the words as one command line, no
  /// inherited handles, CREATE_NO_WINDOW, normal priority, default environment
  /// and directory) and an unlimited wait. `command[0]` is looked up on PATH.
  /// false when the process could not be created; its exit status is not kept.
  [[nodiscard]] virtual bool run_hidden(const std::vector<std::string>& command) = 0;
  /// system(command): the command interpreter's result (-1 when it cannot run).
  virtual int run_shell(const std::string& command) = 0;
};

/// The process runner of the linked backend.
process_runner& backend_processes();

/// This program's full path (GetModuleFileNameA(NULL); /proc/self/exe on the
/// simulated host), never cut short. Empty when it cannot be had.
std::string program_path();

/// The program's command line as one text, as the switch parser reads it.
/// Windows: GetCommandLineA (argc and argv unused). Simulated host: argv joined
/// by single spaces, each word that is empty or holds a space or tab enclosed
/// in double quotes.
std::string process_command_line(int argc, char** argv);

/// Text of string resource `id` of this program (LoadStringA, up to 255
/// characters), or `fallback` when the program has none. Programs on the
/// simulated host carry no resources: always `fallback` there.
std::string load_program_string(std::uint32_t id, const char* fallback);

/// A program named by its Windows path, as this host runs it: unchanged on
/// Windows; on the simulated host native_path() of it with a trailing ".exe"
/// (any case) removed, since programs there have no extension.
std::string host_program_path(const std::string& windows_path);

/// One word for the command line that run_shell hands the command
/// interpreter, quoted so that it stays one word and nothing in it is
/// interpreted: in double quotes on Windows, in single quotes for sh on the
/// simulated host.
std::string shell_quote(const std::string& word);

/// The words that run the system's service command with `arguments` (for
/// run_hidden): "net" on Windows. On the simulated host `simhost net`, with
/// simhost taken from the directory of the module that holds this code (the
/// library or program) when it is there, else looked up on PATH.
std::vector<std::string> net_command(const std::vector<std::string>& arguments);

}  // namespace kvx::platform
