#include <cerrno>
#include <cstdlib>

#include "logd/host/test_settings.h"
#include "logd/state_store.h"

namespace kvx::logd {

void apply_test_settings() {
  const char* cycle = std::getenv("KVX_TEST_RETRY_CYCLE_MS");
  if (cycle == nullptr || *cycle == '\0') return;
  char* end = nullptr;
  errno = 0;
  const long ms = std::strtol(cycle, &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || ms <= 0 || ms > 0x7FFFFFFFL) return;
  set_retry_cycle_ms(static_cast<std::int32_t>(ms));
}

}  // namespace kvx::logd
