// The common ground of the log output tests: a throw-away simulated host with
// the log directory installed, a recording Application log, the fake driver,
// and the shared store set to the shipped defaults. Adapters are linked into
// the store's table directly, as the capture's table build would leave them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "adapter/retried_requests.h"
#include "logd/capture/capture_life.h"
#include "logd/state_store.h"
#include "platform/host.h"
#include "tests/fakes/application_log.h"
#include "tests/fakes/fake_driver.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/file_bytes.h"
#include "tests/support/interface_entries.h"
#include "tests/support/lists.h"
#include "tests/support/records.h"
#include "tests/support/store_session.h"

namespace kvx::test {

/// Installs the shipped lists and the log directory with scripts/sim-install
/// into the current KVX_HOST_ROOT. false when the script failed.
[[nodiscard]] bool run_sim_install(bool with_log_dir = true);

/// The output tests' way to call the shared record builder (support/records.h):
/// a record from source "kvxwdd" with facility 7, carrying `data` as the driver data.
logd::event_record make_driver_record(std::uint32_t number, std::uint32_t time_generated,
                                      const std::vector<std::uint8_t>& data);
/// driver_data_bytes with the key first and counting bytes around the words.
std::vector<std::uint8_t> driver_data(std::uint32_t key, std::uint32_t status = 0, std::size_t size = 104);

/// A detail reply with the given slots occupied by `bytes` (the rest zero).
adapter::detail_reply make_reply(const std::vector<std::pair<int, std::vector<std::uint8_t>>>& slots);

class output_test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// A fake adapter on `port` at `location`, linked at the table's tail.
  logd::interface_entry* add_adapter(int port, std::uint32_t location);
  /// The native path of the default log directory, and of one adapter's file.
  std::filesystem::path log_dir() const;
  std::filesystem::path log_file(std::uint16_t location) const;
  std::filesystem::path list_dir() const;

  temp_host host_;
  application_log reports_;
  fake_driver driver_;

 private:
  std::unique_ptr<platform::scoped_event_logs> logs_guard_;
  std::unique_ptr<platform::scoped_ports> ports_guard_;
  store_session store_;
};

}  // namespace kvx::test
