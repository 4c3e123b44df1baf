// hbalogd as the tests run it on the simulated host: the program itself, with
// one setting that only tests give, through the environment.
// KVX_TEST_RETRY_CYCLE_MS, a positive number of milliseconds, shortens the
// capture's retry cycle (60000) so that tests need not wait minutes for it.
// The shipped program reads nothing of the kind.
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "logd/host/program.h"
#include "logd/state_store.h"

namespace {

void apply_test_settings() {
  const char* cycle = std::getenv("KVX_TEST_RETRY_CYCLE_MS");
  if (cycle == nullptr || *cycle == '\0') return;
  char* end = nullptr;
  errno = 0;
  const long ms = std::strtol(cycle, &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || ms <= 0 || ms > 0x7FFFFFFFL) return;
  kvx::logd::set_retry_cycle_ms(static_cast<std::int32_t>(ms));
}

}  // namespace

int main(int argc, char** argv) {
  apply_test_settings();
  return kvx::logd::run_hbalogd(argc, argv);
}
