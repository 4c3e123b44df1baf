#include "logd/host/test_settings.h"

namespace kvx::logd {

void apply_test_settings() {}

}  // namespace kvx::logd
