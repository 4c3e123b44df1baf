// Waitable events of the simulated host: in-process auto-reset events.
// Events created with the same name in one process are one event, as
// CreateEventA opens an existing named event; the names are kept in a table
// of this file only, for as long as some handle holds the event.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include "platform/sync.h"
#include "platform/win_codes.h"

namespace kvx::platform {
namespace {

struct event_state {
  std::mutex lock;
  std::condition_variable signalled_cv;
  bool signalled = false;  // guarded by lock
};

class sim_event final : public event_handle {
 public:
  explicit sim_event(std::shared_ptr<event_state> state) : state_(std::move(state)) {}

  void set() override {
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      state_->signalled = true;
    }
    // Auto-reset: one waiter takes the signal.
    state_->signalled_cv.notify_one();
  }

  std::uint32_t wait(std::uint32_t timeout_ms) override {
    std::unique_lock<std::mutex> guard(state_->lock);
    const auto is_set = [this] { return state_->signalled; };
    if (timeout_ms == win::infinite) {
      state_->signalled_cv.wait(guard, is_set);
    } else if (!state_->signalled_cv.wait_for(guard, std::chrono::milliseconds(timeout_ms), is_set)) {
      return win::wait_timeout;
    }
    state_->signalled = false;
    return win::wait_object_0;
  }

 private:
  std::shared_ptr<event_state> state_;
};

struct named_events {
  std::mutex lock;
  std::map<std::string, std::weak_ptr<event_state>> by_name;  // guarded by lock
};

named_events& event_names() {
  static named_events table;
  return table;
}

}  // namespace

std::unique_ptr<event_handle> create_event(const char* name) {
  if (name == nullptr || *name == '\0') return std::make_unique<sim_event>(std::make_shared<event_state>());
  named_events& table = event_names();
  std::lock_guard<std::mutex> guard(table.lock);
  for (auto it = table.by_name.begin(); it != table.by_name.end();) {
    it = it->second.expired() ? table.by_name.erase(it) : std::next(it);
  }
  std::weak_ptr<event_state>& slot = table.by_name[name];
  std::shared_ptr<event_state> state = slot.lock();
  if (!state) {
    state = std::make_shared<event_state>();
    slot = state;
  }
  return std::make_unique<sim_event>(std::move(state));
}

}  // namespace kvx::platform
