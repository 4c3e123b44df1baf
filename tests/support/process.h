// Running the suite's programs as child processes: to the end with what they
// printed (run_command), or in the background with their output in a file
// (background_process). argv[0] is a path; the child gets this process's
// environment (so the KVX_HOST_ROOT of the calling test) plus any extra words.
// A program's entry called in this process is run with what it printed
// captured (run_captured).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kvx::test {

struct command_result {
  int status = -1;  ///< exit code; 128 + signal when killed; -1 when it did not run
  std::string out;  ///< standard output, byte for byte (with standard error when merged)
  std::string err;  ///< standard error
};

struct run_options {
  std::string input;                   ///< standard input (empty: /dev/null)
  int timeout_ms = 60000;              ///< then the child is killed and the result says so in err
  bool merge_err = false;              ///< standard error into `out`, in the order written
  std::vector<std::string> extra_env;  ///< "NAME=value" words added to the environment
};

/// Runs argv to its end (or the time limit) and gives what it printed.
command_result run_command(const std::vector<std::string>& argv, const run_options& options);
command_result run_command(const std::vector<std::string>& argv, int timeout_ms = 60000);
/// The same for a program built in this tree ("simulator/kvxsim").
command_result run_built(const char* program, const std::vector<std::string>& args, const run_options& options = {});

/// A child running in the background; killed (and reaped) when the object goes.
class background_process {
 public:
  /// Standard output goes to `out` (appended; empty: inherited), standard
  /// error to `err` (empty: where standard output goes); standard input is /dev/null.
  explicit background_process(const std::vector<std::string>& argv, const std::filesystem::path& out = {},
                              const std::vector<std::string>& extra_env = {}, const std::filesystem::path& err = {});
  ~background_process();
  background_process(const background_process&) = delete;
  background_process& operator=(const background_process&) = delete;

  bool started() const { return started_; }
  /// True until the child has ended (it is reaped here).
  bool running();
  void signal(int sig);
  /// The exit status once the child has ended, as command_result::status; -1
  /// when it is still running after `limit`.
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
  /// SIGTERM, then SIGKILL when it has not ended within `grace`; its exit status.
  int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

 private:
  pid_t pid_ = -1;
  bool started_ = false;
  int status_ = -1;
};

/// Calls `entry` with this process's standard output and error captured; its
/// result as the status, and what it wrote to each (by stdio or straight to
/// the descriptor).
command_result run_captured(const std::function<int()>& entry);

/// The whole content of a file, or "<missing FILE>".
std::string read_file(const std::filesystem::path& path);

}  // namespace kvx::test
