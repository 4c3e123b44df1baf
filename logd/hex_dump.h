// Text pieces of a log entry: printf-style appending, the hex dump layout, and
// the conversion of line ends to the CR LF that the log files carry.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kvx::logd {

/// Appends printf-style text to `out` (no length limit).
void append_text(std::string& out, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/// Appends a dump titled "---          HEX DUMP (<name>:SIZE=0x%04x)         ---"
/// with `shown_size`, the ruler and rule lines, then `bytes` 16 to a line; the
/// last line of a dump that is not a multiple of 16 long has no line end.
/// Line ends are "\n" here.
void append_hex_dump(std::string& out, const char* name, std::int32_t shown_size, std::span<const std::uint8_t> bytes);

/// The text with every "\n" turned into CR LF.
std::string windows_text(std::string_view text);

}  // namespace kvx::logd
