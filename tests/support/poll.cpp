#include "tests/support/poll.h"

#include <algorithm>
#include <thread>

namespace kvx::test {

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  std::chrono::milliseconds pause(1);
  for (;;) {
    if (condition()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return false;
    // The next look, never later than the limit: the condition is looked at
    // once more when the limit comes.
    std::this_thread::sleep_until(std::min<std::chrono::steady_clock::time_point>(now + pause, end));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

}  // namespace kvx::test
