// Calendar time in the host's time zone, safe to call from any thread (the C
// library's localtime shares one buffer between threads on some hosts).
#pragma once

#include <ctime>

namespace kvx::platform {

/// Converts `when` (seconds since 1970-01-01 00:00:00 UTC) into local time.
/// false when the host cannot represent it; `out` is then unspecified.
[[nodiscard]] bool local_time(std::time_t when, std::tm& out);

}  // namespace kvx::platform
