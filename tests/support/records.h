// System log records from the driver, as ReadEventLogA gives them, and the
// driver data (the error packet) they carry. Header only, so that the fuzz
// targets and benchmarks can build records without the test library.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/event_log_file.h"

namespace kvx::test {

/// What fills the driver data around the status word and the event key.
enum class data_fill {
  zeros,
  counting,  ///< byte i holds i (mod 256), so that a dump shows where each byte came from
};

/// Driver data of `size` bytes (at least 44) with the status word
/// (little-endian) at 16 and the event key (big-endian) at 40.
inline std::vector<std::uint8_t> driver_data_bytes(std::uint32_t status, std::uint32_t key, std::size_t size = 104,
                                                   data_fill fill = data_fill::zeros) {
  std::vector<std::uint8_t> data(std::max<std::size_t>(size, 44), 0);
  if (fill == data_fill::counting) {
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  }
  for (int i = 0; i < 4; ++i) data[16 + i] = static_cast<std::uint8_t>(status >> (8 * i));
  for (int i = 0; i < 4; ++i) data[40 + i] = static_cast<std::uint8_t>(key >> (24 - 8 * i));
  return data;
}

/// The rest of a driver record; the defaults are those of a kvxwdd error.
struct record_fields {
  const char* source = "kvxwdd";
  std::uint32_t event_id = 0xC0070001;
  std::uint32_t time_generated = 1765116136;
  std::uint16_t event_type = 1;
  const char* computer = "TESTHOST";
};

/// The bytes of a record numbered `number` that carries `data` as its driver data.
inline std::vector<std::uint8_t> driver_record_bytes(std::uint32_t number, std::vector<std::uint8_t> data,
                                                     const record_fields& fields) {
  sim::event_record r;
  r.record_number = number;
  r.time_generated = fields.time_generated;
  r.time_written = fields.time_generated;
  r.event_id = fields.event_id;
  r.event_type = fields.event_type;
  r.source_name = fields.source;
  r.computer_name = fields.computer;
  r.data = std::move(data);
  return sim::encode_event_record(r);
}

/// The same with another source or event id only.
inline std::vector<std::uint8_t> driver_record_bytes(std::uint32_t number, std::vector<std::uint8_t> data,
                                                     const char* source = "kvxwdd",
                                                     std::uint32_t event_id = 0xC0070001) {
  record_fields fields;
  fields.source = source;
  fields.event_id = event_id;
  return driver_record_bytes(number, std::move(data), fields);
}

}  // namespace kvx::test
