// Text pieces of a log entry, composed with the line ends that the log files
// carry: every "\n" of a format (and of the values put into it, as a C
// library in text mode would do) becomes CR LF as it is appended.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kvx::logd {

/// Appends printf-style text to `out` (no length limit), "\n" as CR LF.
void append_text(std::string& out, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/// Appends `text` with every "\n" as CR LF.
void append_windows_text(std::string& out, std::string_view text);

/// Appends a dump titled "---          HEX DUMP (<name>:SIZE=0x%04x)         ---"
/// with `shown_size`, the ruler and rule lines, then `bytes` 16 to a line; the
/// last line of a dump that is not a multiple of 16 long has no line end.
void append_hex_dump(std::string& out, const char* name, std::int32_t shown_size, std::span<const std::uint8_t> bytes);

}  // namespace kvx::logd
