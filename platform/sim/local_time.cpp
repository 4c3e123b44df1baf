#include "platform/local_time.h"

#include <time.h>

namespace kvx::platform {

bool local_time(std::time_t when, std::tm& out) { return ::localtime_r(&when, &out) != nullptr; }

}  // namespace kvx::platform
