// A recording Application log for the log output tests: every event that a
// source reports is kept with its type and first string. Install it with
// platform::scoped_event_logs; it opens no log for reading.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/event_log.h"

namespace kvx::test {

struct reported_event {
  int type = 0;
  std::string text;
};

class report_recorder : public platform::event_log_service {
 public:
  std::unique_ptr<platform::event_log_reader> open_log(const char* log_name) override;
  std::unique_ptr<platform::event_source> register_source(const char* source_name) override;

  void add(int type, std::string text);
  std::vector<reported_event> events();
  /// How many reported texts equal `text`.
  int count(const std::string& text);

 private:
  std::mutex lock_;
  std::vector<reported_event> events_;
};

}  // namespace kvx::test
