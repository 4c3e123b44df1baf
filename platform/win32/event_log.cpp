// The event logs on Windows: OpenEventLogA, GetOldestEventLogRecord,
// GetNumberOfEventLogRecords, ReadEventLogA, NotifyChangeEventLog,
// CloseEventLog for reading; RegisterEventSourceA, ReportEventA,
// DeregisterEventSource for the Application log.
#include "platform/event_log.h"

#include "platform/host.h"
#include "platform/win32/sync_handle.h"
#include "platform/win_codes.h"

namespace kvx::platform {
namespace {

class win32_event_log_reader final : public event_log_reader {
 public:
  explicit win32_event_log_reader(HANDLE h) : handle_(h) {}
  ~win32_event_log_reader() override { ::CloseEventLog(handle_); }
  win32_event_log_reader(const win32_event_log_reader&) = delete;
  win32_event_log_reader& operator=(const win32_event_log_reader&) = delete;

  bool oldest_record_number(std::uint32_t& out) override {
    DWORD n = 0;
    if (::GetOldestEventLogRecord(handle_, &n) == FALSE) return false;
    out = n;
    return true;
  }

  bool number_of_records(std::uint32_t& out) override {
    DWORD n = 0;
    if (::GetNumberOfEventLogRecords(handle_, &n) == FALSE) return false;
    out = n;
    return true;
  }

  std::uint32_t read(std::uint32_t flags, std::uint32_t record_number, std::uint8_t* buffer, std::uint32_t size,
                     std::uint32_t& bytes_read, std::uint32_t& bytes_needed) override {
    DWORD got = 0;
    DWORD needed = 0;
    const BOOL ok = ::ReadEventLogA(handle_, flags, record_number, buffer, size, &got, &needed);
    const DWORD rc = ok != FALSE ? ERROR_SUCCESS : ::GetLastError();
    bytes_read = got;
    bytes_needed = needed;
    return rc;
  }

  bool notify_change(event_handle& event) override {
    HANDLE e = native_event_handle(event);
    return e != nullptr && ::NotifyChangeEventLog(handle_, e) != FALSE;
  }

 private:
  HANDLE handle_;
};

class win32_event_source final : public event_source {
 public:
  explicit win32_event_source(HANDLE h) : handle_(h) {}
  ~win32_event_source() override { ::DeregisterEventSource(handle_); }
  win32_event_source(const win32_event_source&) = delete;
  win32_event_source& operator=(const win32_event_source&) = delete;

  bool report(std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
              const std::vector<std::string>& strings, std::span<const std::uint8_t> data) override {
    if (strings.size() > 0xFFFF) return false;
    std::vector<LPCSTR> texts;
    texts.reserve(strings.size());
    for (const std::string& s : strings) texts.push_back(s.c_str());
    // ReportEventA takes the data as a non-const pointer but only reads it.
    void* raw = data.empty() ? nullptr : const_cast<std::uint8_t*>(data.data());
    return ::ReportEventA(handle_, type, category, event_id, nullptr, static_cast<WORD>(texts.size()),
                          static_cast<DWORD>(data.size()), texts.empty() ? nullptr : texts.data(), raw) != FALSE;
  }

 private:
  HANDLE handle_;
};

class win32_event_log_service final : public event_log_service {
 public:
  std::unique_ptr<event_log_reader> open_log(const char* log_name) override {
    HANDLE h = ::OpenEventLogA(nullptr, log_name);
    if (h == nullptr) return nullptr;
    return std::make_unique<win32_event_log_reader>(h);
  }

  std::unique_ptr<event_source> register_source(const char* source_name) override {
    HANDLE h = ::RegisterEventSourceA(nullptr, source_name);
    if (h == nullptr) return nullptr;
    return std::make_unique<win32_event_source>(h);
  }
};

}  // namespace

event_log_service& backend_event_logs() {
  static win32_event_log_service service;
  return service;
}

}  // namespace kvx::platform
