// Text built with the line ends that the log files carry: every "\n" of a
// format (and of the values put into it, as a C library in text mode would
// do) becomes CR LF as it is appended.
#pragma once

#include <string>
#include <string_view>

namespace kvx::logd {

/// Appends printf-style text to `out` (no length limit), "\n" as CR LF; a
/// format the C library refuses appends nothing.
void append_text(std::string& out, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/// Appends `text` to `out` with every "\n" as CR LF.
void append_windows_text(std::string& out, std::string_view text);

}  // namespace kvx::logd
