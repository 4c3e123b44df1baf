// End-to-end rig: the real programs on a throw-away simulated host. kvxsim
// serves the adapters, hbalogd runs the watch as a plain process, and the
// test drives them through their command lines and reads the log files.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/fakes/temp_host.h"

namespace kvx::test {

struct command_result {
  int status = -1;     ///< exit status, or -1 when the program did not end normally
  std::string output;  ///< standard output and standard error together
};

/// Runs a built program ("simulator/kvxsim") with arguments and waits for it.
command_result run_program(const char* program, const std::vector<std::string>& args);

/// A program running in the background, its output in a file; ended (SIGTERM,
/// then SIGKILL) when the object goes.
class background_program {
 public:
  background_program(const char* program, const std::vector<std::string>& args, const std::filesystem::path& output,
                     const std::vector<std::string>& extra_env = {});
  ~background_program();
  background_program(const background_program&) = delete;
  background_program& operator=(const background_program&) = delete;
  bool running();
  /// Ends the program; its exit status (or -1).
  int stop();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

/// Polls `ready` every 50 ms until it holds or `limit` passes.
bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds limit);

class e2e_capture : public ::testing::Test {
 protected:
  /// Installs the lists, writes the adapters' configuration and starts kvxsim.
  void start_simulator(const std::string& config);
  /// Registers hbalogd and starts it as a plain process.
  void start_service(int retry_cycle_ms);
  void TearDown() override;

  /// kvxsim with arguments; fails the test when it does not exit with 0.
  std::string kvxsim(const std::vector<std::string>& args);
  /// The System record number that "kvxsim inject" printed.
  int inject(const std::vector<std::string>& args);
  std::string log_of(std::uint16_t location);
  /// Waits until the adapter's file holds `text` (up to 30 s).
  bool wait_for_log(std::uint16_t location, const std::string& text);
  std::string application_log();
  std::string service_output();

  temp_host host_;
  std::unique_ptr<background_program> simulator_;
  std::unique_ptr<background_program> service_;
};

/// How often `needle` occurs in `text`.
int occurrences(const std::string& text, const std::string& needle);

}  // namespace kvx::test
