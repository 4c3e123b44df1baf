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
#include "tests/support/poll.h"
#include "tests/support/process.h"

namespace kvx::test {

/// Standard output and standard error together, as a person at the console sees them.
run_options merged_output();

class CaptureEndToEnd : public ::testing::Test {
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
  std::unique_ptr<background_process> simulator_;
  std::unique_ptr<background_process> service_;
};

/// How often `needle` occurs in `text`.
int occurrences(const std::string& text, const std::string& needle);

}  // namespace kvx::test
