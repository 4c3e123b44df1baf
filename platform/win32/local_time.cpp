#include "platform/local_time.h"

#include <time.h>

namespace kvx::platform {

// localtime_s of the Microsoft C library: (result, source), 0 on success.
bool local_time(std::time_t when, std::tm& out) { return ::localtime_s(&out, &when) == 0; }

}  // namespace kvx::platform
