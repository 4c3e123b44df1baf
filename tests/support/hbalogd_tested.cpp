// hbalogd as the tests run it on the simulated host: the program itself, with
// one setting that only tests give, through the environment.
// KVX_TEST_RETRY_CYCLE_MS, a positive number of milliseconds, shortens the
// capture's retry cycle (60000) so that tests need not wait minutes for it;
// KVX_TEST_STOP_DRAIN_MS likewise the bound of a stop's drain (20000).
// The shipped program reads nothing of the kind.
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "logd/host/program.h"
#include "logd/state_store.h"

namespace {

/// A positive number of milliseconds from the environment variable, if any.
bool read_milliseconds(const char* name, std::int32_t& out) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long ms = std::strtol(text, &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || ms <= 0 || ms > 0x7FFFFFFFL) return false;
  out = static_cast<std::int32_t>(ms);
  return true;
}

void apply_test_settings() {
  std::int32_t ms = 0;
  if (read_milliseconds("KVX_TEST_RETRY_CYCLE_MS", ms)) kvx::logd::set_retry_cycle_ms(ms);
  if (read_milliseconds("KVX_TEST_STOP_DRAIN_MS", ms)) kvx::logd::set_stop_drain_ms(ms);
}

}  // namespace

int main(int argc, char** argv) {
  apply_test_settings();
  return kvx::logd::run_hbalogd(argc, argv);
}
