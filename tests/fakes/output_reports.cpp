#include "tests/fakes/output_reports.h"

#include <algorithm>

namespace kvx::test {
namespace {

class recording_source : public platform::event_source {
 public:
  explicit recording_source(report_recorder& owner) : owner_(owner) {}
  bool report(std::uint16_t type, std::uint16_t, std::uint32_t, const std::vector<std::string>& strings,
              std::span<const std::uint8_t>) override {
    owner_.add(type, strings.empty() ? std::string() : strings.front());
    return true;
  }

 private:
  report_recorder& owner_;
};

}  // namespace

std::unique_ptr<platform::event_log_reader> report_recorder::open_log(const char*) { return nullptr; }

std::unique_ptr<platform::event_source> report_recorder::register_source(const char*) {
  return std::make_unique<recording_source>(*this);
}

void report_recorder::add(int type, std::string text) {
  std::lock_guard<std::mutex> guard(lock_);
  events_.push_back({type, std::move(text)});
}

std::vector<reported_event> report_recorder::events() {
  std::lock_guard<std::mutex> guard(lock_);
  return events_;
}

int report_recorder::count(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(
      std::count_if(events_.begin(), events_.end(), [&](const reported_event& e) { return e.text == text; }));
}

}  // namespace kvx::test
