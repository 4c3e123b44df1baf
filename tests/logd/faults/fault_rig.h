// The fault runs' rig: the real hbalogd, kvxsim and simhost programs on a
// throw-away simulated host, with hbalogd and kvxsim as children of the test
// so that it can kill them at any moment. One adapter unless a run sets
// adapters_ini_ in its constructor: port 2 at location 0x0208, whose log
// file is kvx0208.log.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/fakes/temp_host.h"
#include "tests/support/poll.h"
#include "tests/support/process.h"

namespace kvx::test {

/// The header line of a log file, "%4d %9d" and CR LF in 16 bytes.
struct log_header {
  bool valid = false;
  int count = 0;
  int offset = 0;
};
log_header read_log_header(const std::string& file);

/// Where each entry of a log file text begins (its "---- KVXWDD LOG #" line,
/// or the "DETAIL DATA WAS" lines ahead of it), in [from, to).
std::vector<std::size_t> entry_starts(const std::string& file, std::size_t from, std::size_t to);
/// The record numbers shown by the entries in [from, to); synthetic records
/// ("#------") are left out.
std::vector<std::uint32_t> entry_numbers(const std::string& file, std::size_t from, std::size_t to);

class FaultRun : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// kvxsim serving port 2 (location 0x0208); waits until it answers.
  void start_simulator();
  void kill_simulator();
  /// hbalogd as a plain process; waits until its startup scan has asked the
  /// adapter for its detail data, so that the watch has its starting record.
  /// `without_file_override`: as root, run it without the capabilities that
  /// let root write a read-only file.
  /// `retry_cycle_ms` shortens the retry thread's cycle (KVX_TEST_RETRY_CYCLE_MS).
  /// `kill_at` ("STEP:N", KVX_TEST_KILL_AT) makes it kill itself there; it
  /// may then have ended by the time this returns.
  void start_service(bool without_file_override = false, int retry_cycle_ms = 60000, const std::string& kill_at = {});
  void kill_service();
  /// SIGTERM and the wait; the exit status (-1 when it did not end).
  int stop_service();
  bool service_running() { return service_ && service_->running(); }

  command_result kvxsim(const std::vector<std::string>& args);
  command_result simhost(const std::vector<std::string>& args);
  /// kvxsim inject for port 2; the System record number, or -1.
  std::int64_t inject(int error, int slot);
  /// The exchanges that port 2 has answered (kvxsim status).
  long exchanges();

  std::filesystem::path log_dir() const;
  std::filesystem::path log_path() const { return log_dir() / "kvx0208.log"; }
  std::string log_text() const;
  /// The log file of the adapter at `location` (empty when there is none).
  std::string log_text_of(std::uint16_t location) const;
  /// Waits (up to 30 s) until the log file holds an entry for `number`, its
  /// header counts it (the entry is whole), and the adapter holds no slot
  /// (the entry's goes back once the header counting it is flushed).
  bool wait_for_entry(std::uint32_t number);
  /// The texts of hbalogd's Application-log events, oldest first.
  std::vector<std::string> service_reports();
  int reports_of(const std::string& text);
  /// What hbalogd printed, for failure messages.
  std::string service_output() const;

  /// kvxsim's configuration, written by SetUp.
  std::string adapters_ini_ = "[adapter]\nport = 2\npci_location = 0x0208\n";
  temp_host host_;
  std::unique_ptr<background_process> simulator_;
  std::unique_ptr<background_process> service_;
};

}  // namespace kvx::test
