#include "tests/fakes/application_log.h"

#include <algorithm>

namespace kvx::test {

class application_log::source final : public platform::event_source {
 public:
  source(application_log& log, std::string name) : log_(log), name_(std::move(name)) {}

  bool report(std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
              const std::vector<std::string>& strings, std::span<const std::uint8_t> data) override {
    if (log_.refuse_reports) return false;
    const std::lock_guard<std::mutex> hold(log_.lock_);
    log_.reports_.push_back({name_, type, category, event_id, strings, data.size()});
    return true;
  }

 private:
  application_log& log_;
  std::string name_;
};

std::unique_ptr<platform::event_log_reader> application_log::open_log(const char*) { return nullptr; }

std::unique_ptr<platform::event_source> application_log::register_source(const char* source_name) {
  if (refuse_sources) return nullptr;
  return std::make_unique<source>(*this, source_name != nullptr ? source_name : "");
}

std::vector<reported_event> application_log::reports() const {
  const std::lock_guard<std::mutex> hold(lock_);
  return reports_;
}

std::vector<std::string> application_log::texts() const {
  std::vector<std::string> out;
  for (const reported_event& r : reports()) out.push_back(r.text());
  return out;
}

int application_log::count(const std::string& text) const {
  const std::vector<reported_event> all = reports();
  return static_cast<int>(
      std::count_if(all.begin(), all.end(), [&](const reported_event& r) { return r.text() == text; }));
}

}  // namespace kvx::test
