// The records the event log tests append: kvxwdd's error event 0xC0070004
// with one string, as the driver's own records look to a reader. Header only:
// the append child (a program of its own) uses it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/sim/event_log_file.h"

namespace kvx::test {

/// Appends the record with `text` and `data` to `log`; its number, or -1 as
/// append_event_record gives it.
inline std::int64_t append_driver_text(const char* log, const std::string& text, std::span<const std::uint8_t> data) {
  return sim::append_event_record(log, "kvxwdd", 0xC0070004, 1, 0, 1700000000, {text}, data);
}

/// Appends the record to the System log with `data_size` bytes of data, byte
/// i being i ^ text.size() (records of one size differ by their text).
inline std::int64_t append_driver_text(const std::string& text, std::size_t data_size = 0) {
  std::vector<std::uint8_t> data(data_size);
  for (std::size_t i = 0; i < data_size; ++i) data[i] = static_cast<std::uint8_t>(i ^ text.size());
  return append_driver_text("System", text, data);
}

}  // namespace kvx::test
