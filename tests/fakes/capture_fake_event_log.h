// An in-memory System log for the capture's tests, with the one recording
// Application log beside it: records are numbered like the simulated host's
// (after 4294967295 comes 1), read with ReadEventLogA's seek/sequential
// semantics, and every knob below injects a fault. Sources are registered with
// `application`, which keeps their reports. Install it with
// platform::scoped_event_logs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/event_log.h"
#include "platform/sim/event_log_file.h"
#include "tests/fakes/application_log.h"
#include "tests/support/records.h"

namespace kvx::test {

class capture_fake_event_logs final : public platform::event_log_service {
 public:
  capture_fake_event_logs() = default;
  capture_fake_event_logs(const capture_fake_event_logs&) = delete;
  capture_fake_event_logs& operator=(const capture_fake_event_logs&) = delete;

  /// Appends a record built by `make(number)` and gives its number. Readers
  /// that registered for change notification are signalled unless
  /// `signal_changes` is false.
  std::uint32_t append(const std::function<std::vector<std::uint8_t>(std::uint32_t)>& make);
  /// Appends a kvxwdd record with this status word and event key.
  std::uint32_t append_driver(std::uint32_t status, std::uint32_t key);
  /// Appends a record from another source.
  std::uint32_t append_other(const char* source);
  /// Empties the log; the next record gets `next_number`. An empty log reports
  /// `empty_oldest` as its oldest number.
  void clear(std::uint32_t next_number = 1, std::uint32_t empty_oldest = 0);

  std::atomic<bool> fail_open{false};
  std::atomic<bool> fail_count{false};
  std::atomic<bool> fail_oldest{false};
  std::atomic<bool> fail_notify{false};
  std::atomic<bool> signal_changes{true};
  /// Called (outside the fake's lock) before every record read by number.
  std::function<void(std::uint32_t)> before_read;

  std::atomic<int> opens{0};
  std::atomic<int> closes{0};
  std::atomic<int> count_queries{0};
  std::atomic<int> oldest_queries{0};
  std::vector<std::uint32_t> numbers_read() const;

  /// Where the sources registered here report (and its refusals).
  application_log application;

  std::unique_ptr<platform::event_log_reader> open_log(const char* log_name) override;
  std::unique_ptr<platform::event_source> register_source(const char* source_name) override;

 private:
  class reader;
  friend class reader;

  mutable std::mutex lock_;
  std::map<std::uint32_t, std::vector<std::uint8_t>> records_;  ///< by number
  std::vector<std::uint32_t> order_;                            ///< numbers, oldest first
  std::uint32_t next_number_ = 1;
  std::uint32_t empty_oldest_ = 0;
  std::set<platform::event_handle*> watchers_;
  std::vector<std::uint32_t> numbers_read_;
};

}  // namespace kvx::test
