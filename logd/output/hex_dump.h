// The hex dumps of a log entry (the event's driver data, a detail slot), with
// the log files' CR LF line ends.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kvx::logd {

/// Appends a dump titled "---          HEX DUMP (<name>:SIZE=0x%04x)         ---"
/// with `shown_size`, the ruler and rule lines, then `bytes` 16 to a line; the
/// last line of a dump that is not a multiple of 16 long has no line end.
void append_hex_dump(std::string& out, const char* name, std::int32_t shown_size, std::span<const std::uint8_t> bytes);

}  // namespace kvx::logd
