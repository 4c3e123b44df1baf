// Running the suite's programs from the service and installer-hook tests:
// standard output and error captured, the exit status kept, and a limit on
// the wait so that a hanging program fails its test instead of the run.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kvx::test {

struct command_result {
  int status = -1;  ///< exit code; 128 + signal when killed; -1 when it did not run
  std::string out;
  std::string err;
};

/// Runs argv[0] (a path) with the environment of this process, waits at most
/// `timeout_ms` (then kills it), and gives what it printed.
command_result run_command(const std::vector<std::string>& argv, int timeout_ms = 60000);

/// Waits until `condition` holds, checking every 20 ms; false after `timeout_ms`.
bool eventually(const std::function<bool()>& condition, int timeout_ms = 10000);

}  // namespace kvx::test
