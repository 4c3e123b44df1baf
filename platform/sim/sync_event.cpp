// Waitable events of the simulated host: in-process auto-reset events.
// Events created with the same name in one process are one event, as
// CreateEventA opens an existing named event; the names are kept in a table
// of this file only, for as long as some handle holds the event.
//
// Besides SetEvent the events take PulseEvent (sync_event.h), which releases
// only a thread that waits at that moment: each waiter stands in a queue while
// it waits, and a pulse releases the one at its head.
#include "platform/sim/sync_event.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "platform/sync.h"
#include "platform/win_codes.h"

namespace kvx::platform {
namespace {

/// One thread in wait(), released by a pulse.
struct waiter {
  bool pulsed = false;
};

struct event_state {
  std::mutex lock;
  std::condition_variable signalled_cv;
  bool signalled = false;       // guarded by lock
  std::deque<waiter*> waiting;  // guarded by lock; oldest first
};

class sim_event final : public event_handle {
 public:
  explicit sim_event(std::shared_ptr<event_state> state) : state_(std::move(state)) {}

  void set() override {
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      state_->signalled = true;
    }
    // Auto-reset: whichever waiter wakes first takes the signal; the others
    // find it gone and wait on.
    state_->signalled_cv.notify_all();
  }

  std::uint32_t wait(std::uint32_t timeout_ms) override {
    std::unique_lock<std::mutex> guard(state_->lock);
    if (state_->signalled) {
      state_->signalled = false;
      return win::wait_object_0;
    }
    if (timeout_ms == 0) return win::wait_timeout;
    waiter self;
    state_->waiting.push_back(&self);
    const auto released = [&] { return self.pulsed || state_->signalled; };
    bool woke = true;
    if (timeout_ms == win::infinite) {
      state_->signalled_cv.wait(guard, released);
    } else {
      woke = state_->signalled_cv.wait_for(guard, std::chrono::milliseconds(timeout_ms), released);
    }
    // A pulse takes its waiter out of the queue; anything else leaves it there.
    const auto at = std::find(state_->waiting.begin(), state_->waiting.end(), &self);
    if (at != state_->waiting.end()) state_->waiting.erase(at);
    if (self.pulsed) return win::wait_object_0;
    if (!woke) return win::wait_timeout;
    state_->signalled = false;
    return win::wait_object_0;
  }

  void pulse() {
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      state_->signalled = false;
      if (state_->waiting.empty()) return;
      state_->waiting.front()->pulsed = true;
      state_->waiting.pop_front();
    }
    state_->signalled_cv.notify_all();
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

namespace kvx::sim {

void pulse_event(platform::event_handle& event) {
  if (auto* own = dynamic_cast<platform::sim_event*>(&event)) {
    own->pulse();
  } else {
    event.set();
  }
}

}  // namespace kvx::sim
