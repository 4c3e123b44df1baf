#include "tests/fakes/capture_fake_event_log.h"

#include <algorithm>
#include <cstring>

#include "platform/sync.h"
#include "platform/win_codes.h"

namespace kvx::test {

class capture_fake_event_logs::reader final : public platform::event_log_reader {
 public:
  explicit reader(capture_fake_event_logs& logs) : logs_(logs) { ++logs_.opens; }
  ~reader() override {
    if (watching_ != nullptr) {
      std::lock_guard<std::mutex> guard(logs_.lock_);
      logs_.watchers_.erase(watching_);
    }
    ++logs_.closes;
  }

  bool oldest_record_number(std::uint32_t& out) override {
    ++logs_.oldest_queries;
    if (logs_.fail_oldest) return false;
    std::lock_guard<std::mutex> guard(logs_.lock_);
    out = logs_.order_.empty() ? logs_.empty_oldest_ : logs_.order_.front();
    return true;
  }

  bool number_of_records(std::uint32_t& out) override {
    ++logs_.count_queries;
    if (logs_.fail_count) return false;
    std::lock_guard<std::mutex> guard(logs_.lock_);
    out = static_cast<std::uint32_t>(logs_.order_.size());
    return true;
  }

  std::uint32_t read(std::uint32_t flags, std::uint32_t record_number, std::uint8_t* buffer, std::uint32_t size,
                     std::uint32_t& bytes_read, std::uint32_t& bytes_needed) override {
    bytes_read = 0;
    bytes_needed = 0;
    const bool seek = (flags & win::eventlog_seek_read) != 0;
    if (seek && logs_.before_read) logs_.before_read(record_number);
    std::lock_guard<std::mutex> guard(logs_.lock_);
    if (seek) {
      logs_.numbers_read_.push_back(record_number);
      if (logs_.records_.count(record_number) == 0) return win::error_invalid_parameter;
      position_ = record_number;
      positioned_ = true;
    }
    if (!positioned_) return win::error_handle_eof;
    auto it = logs_.records_.find(position_);
    if (it == logs_.records_.end()) return win::error_event_log_file_changed;
    const std::vector<std::uint8_t>& bytes = it->second;
    if (size < bytes.size()) {
      bytes_needed = static_cast<std::uint32_t>(bytes.size());
      return win::error_insufficient_buffer;
    }
    std::memcpy(buffer, bytes.data(), bytes.size());
    bytes_read = static_cast<std::uint32_t>(bytes.size());
    // Only one record per call; the next sequential read has nothing.
    positioned_ = false;
    return win::error_success;
  }

  bool notify_change(platform::event_handle& event) override {
    if (logs_.fail_notify) return false;
    std::lock_guard<std::mutex> guard(logs_.lock_);
    watching_ = &event;
    logs_.watchers_.insert(&event);
    return true;
  }

 private:
  capture_fake_event_logs& logs_;
  std::uint32_t position_ = 0;
  bool positioned_ = false;
  platform::event_handle* watching_ = nullptr;
};

std::uint32_t capture_fake_event_logs::append(const std::function<std::vector<std::uint8_t>(std::uint32_t)>& make) {
  std::lock_guard<std::mutex> guard(lock_);
  const std::uint32_t number = next_number_;
  records_[number] = make(number);
  order_.push_back(number);
  next_number_ = sim::next_record_number(number);
  if (signal_changes) {
    for (platform::event_handle* watcher : watchers_) watcher->set();
  }
  return number;
}

std::uint32_t capture_fake_event_logs::append_driver(std::uint32_t status, std::uint32_t key) {
  return append([&](std::uint32_t n) { return driver_record_bytes(n, driver_data_bytes(status, key)); });
}

std::uint32_t capture_fake_event_logs::append_other(const char* name) {
  return append([&](std::uint32_t n) { return driver_record_bytes(n, driver_data_bytes(0, 0), name, 0x80040001); });
}

void capture_fake_event_logs::clear(std::uint32_t next_number, std::uint32_t empty_oldest) {
  std::lock_guard<std::mutex> guard(lock_);
  records_.clear();
  order_.clear();
  next_number_ = next_number;
  empty_oldest_ = empty_oldest;
}

std::vector<std::uint32_t> capture_fake_event_logs::numbers_read() const {
  std::lock_guard<std::mutex> guard(lock_);
  return numbers_read_;
}

std::unique_ptr<platform::event_log_reader> capture_fake_event_logs::open_log(const char* log_name) {
  if (fail_open || log_name == nullptr || std::strcmp(log_name, "System") != 0) return nullptr;
  return std::make_unique<reader>(*this);
}

std::unique_ptr<platform::event_source> capture_fake_event_logs::register_source(const char* source_name) {
  return application.register_source(source_name);
}

}  // namespace kvx::test
