// The one recording Application log of the tests: every report a source makes
// is kept with its source, type, category, event id, strings and the size of
// its data, and sources or reports are refused on request. Install it with
// platform::scoped_event_logs; it opens no log for reading (a fake that has a
// System log, such as capture_fake_event_logs, hands its reports here).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event_log.h"

namespace kvx::test {

/// One report as it reached the Application log.
struct reported_event {
  std::string source;
  std::uint16_t type = 0;
  std::uint16_t category = 0;
  std::uint32_t event_id = 0;
  std::vector<std::string> strings;
  std::size_t data_size = 0;

  /// The first string (the message text of every report the suite makes), or "".
  std::string text() const { return strings.empty() ? std::string() : strings.front(); }
};

class application_log : public platform::event_log_service {
 public:
  application_log() = default;
  application_log(const application_log&) = delete;
  application_log& operator=(const application_log&) = delete;

  /// Always null: the Application log is only written.
  std::unique_ptr<platform::event_log_reader> open_log(const char* log_name) override;
  /// A source that records under `source_name`; null while `refuse_sources`.
  std::unique_ptr<platform::event_source> register_source(const char* source_name) override;

  /// register_source gives no source.
  std::atomic<bool> refuse_sources{false};
  /// Every source's report fails and nothing is recorded.
  std::atomic<bool> refuse_reports{false};

  /// The reports, oldest first.
  std::vector<reported_event> reports() const;
  /// The text of each report, oldest first.
  std::vector<std::string> texts() const;
  /// How many reports have exactly this text.
  int count(const std::string& text) const;

 private:
  class source;
  friend class source;

  mutable std::mutex lock_;
  std::vector<reported_event> reports_;
};

}  // namespace kvx::test
