// The service's own diagnostics: one Application-log event per message, from
// source "Hbalogd", id 0xC0000001, category 0, the text as the only string.
#pragma once

#include <cstdint>

namespace kvx::logd {

inline constexpr int report_error = 1;    ///< EVENTLOG_ERROR_TYPE
inline constexpr int report_warning = 2;  ///< EVENTLOG_WARNING_TYPE
inline constexpr std::uint32_t hbalogd_event_id = 0xC0000001;
inline constexpr const char* hbalogd_event_source = "Hbalogd";

/// Formats printf-style into 256 characters (at most 255 kept) and reports it.
/// Never fails towards the caller: a message the log refuses is lost.
void report_event(int type, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace kvx::logd
