// hbalogd as the tests run it on the simulated host: the program itself, with
// settings that only tests give, through the environment. The shipped
// program reads nothing of the kind.
// KVX_TEST_RETRY_CYCLE_MS, a positive number of milliseconds, shortens the
// capture's retry cycle (60000) so that tests need not wait minutes for it;
// KVX_TEST_STOP_DRAIN_MS likewise the bound of a stop's drain (20000).
// KVX_TEST_KILL_AT, "STEP:N", kills the process (SIGKILL) the Nth time the
// capture takes STEP (wrap_started, entry_written, header_stored,
// file_flushed, slot_released or busy_pause; logd/capture/capture_hooks.h), so that
// a crash lands exactly there.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logd/capture/capture_hooks.h"
#include "logd/host/program.h"
#include "logd/state_store.h"
#include "tests/support/capture_seams.h"

namespace {

using kvx::logd::capture_step;

// A positive number below 2^31 from the whole of `text`, or 0.
long positive_number(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || n <= 0 || n > 0x7FFFFFFFL) return 0;
  return n;
}

bool step_named(const std::string& name, capture_step& step) {
  static constexpr struct {
    const char* name;
    capture_step step;
  } steps[] = {
      {"wrap_started", capture_step::wrap_started},   {"entry_written", capture_step::entry_written},
      {"header_stored", capture_step::header_stored}, {"file_flushed", capture_step::file_flushed},
      {"slot_released", capture_step::slot_released}, {"busy_pause", capture_step::busy_pause},
  };
  for (const auto& s : steps) {
    if (name == s.name) {
      step = s.step;
      return true;
    }
  }
  return false;
}

void install_kill_point(const char* setting) {
  if (setting == nullptr) return;
  const char* colon = std::strchr(setting, ':');
  capture_step step{};
  if (colon == nullptr || !step_named(std::string(setting, colon), step)) return;
  const long nth = positive_number(colon + 1);
  if (nth == 0) return;
  static std::atomic<long> taken{0};
  kvx::logd::capture_seams seams;
  seams.step_taken = [step, nth](capture_step now) {
    if (now == step && taken.fetch_add(1) + 1 == nth) ::raise(SIGKILL);
  };
  kvx::logd::set_capture_seams(std::move(seams));
}

void apply_test_settings() {
  if (const long ms = positive_number(std::getenv("KVX_TEST_RETRY_CYCLE_MS")); ms != 0) {
    kvx::logd::set_retry_cycle_ms(static_cast<std::int32_t>(ms));
  }
  if (const long ms = positive_number(std::getenv("KVX_TEST_STOP_DRAIN_MS")); ms != 0) {
    kvx::logd::set_stop_drain_ms(static_cast<std::int32_t>(ms));
  }
  install_kill_point(std::getenv("KVX_TEST_KILL_AT"));
}

}  // namespace

int main(int argc, char** argv) {
  apply_test_settings();
  return kvx::logd::run_hbalogd(argc, argv);
}
