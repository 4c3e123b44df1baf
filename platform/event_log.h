// The event-log seam: the System log as a numbered record source
// (OpenEventLogA, GetOldestEventLogRecord, GetNumberOfEventLogRecords,
// ReadEventLogA, NotifyChangeEventLog, CloseEventLog) and the Application log
// as a sink (RegisterEventSourceA, ReportEventA, DeregisterEventSource).
// Records are EVENTLOGRECORD (ANSI) blocks exactly as ReadEventLogA returns them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kvx::platform {

class event_handle;

/// One open log (OpenEventLogA); the destructor closes it (CloseEventLog).
class event_log_reader {
 public:
  virtual ~event_log_reader() = default;
  /// GetOldestEventLogRecord; false on failure. An empty log gives 0 or the next number.
  [[nodiscard]] virtual bool oldest_record_number(std::uint32_t& out) = 0;
  /// GetNumberOfEventLogRecords; false on failure.
  [[nodiscard]] virtual bool number_of_records(std::uint32_t& out) = 0;
  /// ReadEventLogA with win::eventlog_* flags. Returns error_success, or the code
  /// GetLastError would give: error_insufficient_buffer with `bytes_needed` set to
  /// the size of the next record when `size` is too small (a seek read still
  /// positions the handle at `record_number`), error_handle_eof past the end,
  /// error_invalid_parameter for a number outside the log.
  [[nodiscard]] virtual std::uint32_t read(std::uint32_t flags, std::uint32_t record_number, std::uint8_t* buffer,
                                           std::uint32_t size, std::uint32_t& bytes_read,
                                           std::uint32_t& bytes_needed) = 0;
  /// NotifyChangeEventLog: `event` is pulsed whenever the log is written, for
  /// as long as this reader stays open: a thread waiting on it at that moment
  /// is released, and a write while nobody waits is lost. The event must
  /// outlive the reader.
  [[nodiscard]] virtual bool notify_change(event_handle& event) = 0;
};

/// One registered event source (RegisterEventSourceA); the destructor deregisters it.
class event_source {
 public:
  virtual ~event_source() = default;
  /// ReportEventA without a user SID.
  [[nodiscard]] virtual bool report(std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                                    const std::vector<std::string>& strings, std::span<const std::uint8_t> data) = 0;
};

class event_log_service {
 public:
  virtual ~event_log_service() = default;
  /// OpenEventLogA(local machine, log name such as "System"). Null on failure.
  virtual std::unique_ptr<event_log_reader> open_log(const char* log_name) = 0;
  /// RegisterEventSourceA(local machine, source). Null on failure. Events of a
  /// source go to the Application log.
  virtual std::unique_ptr<event_source> register_source(const char* source_name) = 0;
};

/// The event logs of the host this process runs on (or a test's replacement).
event_log_service& host_event_logs();

}  // namespace kvx::platform
