// A service module on a throw-away simulated host, with a fake worker that
// runs until it is asked to stop (or ends at once), recorders for the
// Application log and the message boxes, and a service manager that fails
// on request.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logd/host/service_module.h"
#include "platform/registry.h"
#include "platform/win_codes.h"
#include "tests/fakes/application_log.h"
#include "tests/fakes/faulty_registry.h"
#include "tests/fakes/service_fakes.h"
#include "tests/fakes/temp_host.h"

namespace kvx::test {

inline constexpr const char* rig_program_path = "/opt/kvx/hbalogd/hbalogd";

class service_rig : public ::testing::Test {
 protected:
  service_rig() { module.init("hbalogd", rig_program_path); }
  ~service_rig() override {
    // A case that failed before its stop lets the worker go, so that the
    // running entry can end.
    if (entry.valid()) fake_stop_watch(0);
  }

  unsigned fake_worker(const std::function<void()>& post_quit) {
    ++worker_runs;
    if (!worker_ends_at_once) {
      std::unique_lock<std::mutex> hold(worker_lock);
      stop_seen.wait(hold, [this] { return stop_asked; });
    }
    // A capture that takes this long to bring its writers to rest.
    if (worker_drain_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(worker_drain_ms));
    worker_returned = true;
    post_quit();
    return 0;
  }

  void fake_stop_watch(std::int32_t bound_ms) {
    {
      const std::lock_guard<std::mutex> hold(worker_lock);
      stop_asked = true;
      stop_bounds.push_back(bound_ms);
    }
    stop_seen.notify_all();
  }

  bool was_stop_asked() {
    const std::lock_guard<std::mutex> hold(worker_lock);
    return stop_asked;
  }

  /// program_entry on its own thread (the dispatcher blocks it as on Windows).
  std::future<int> start_entry() {
    return std::async(std::launch::async, [this] { return module.program_entry("hbalogd"); });
  }

  /// The service registered and started by the manager with `session` (the
  /// rig's), and seen running; `entry` is its program_entry. Call through
  /// ASSERT_NO_FATAL_FAILURE.
  void start_running() {
    ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
    services.session = &session;
    entry = start_entry();
    ASSERT_TRUE(session.wait_for_state(win::service_running, 10000));
  }

  temp_host host;
  scripted_services services;
  faulty_registry registry;
  application_log logs;
  recording_dialogs dialogs;

  bool worker_ends_at_once = false;
  int worker_drain_ms = 0;
  std::atomic<int> worker_runs{0};
  std::atomic<bool> worker_returned{false};
  std::mutex worker_lock;
  std::condition_variable stop_seen;
  bool stop_asked = false;
  /// The bound of each stop asked for, in order.
  std::vector<std::int32_t> stop_bounds;

  logd::CServiceModule module{{services, registry, logs, dialogs},
                              {[this](const std::function<void()>& q) { return fake_worker(q); },
                               [this](std::int32_t bound_ms) { fake_stop_watch(bound_ms); }}};
  /// The manager's dispatcher session for the service started here.
  recording_session session;
  /// The running program_entry of start_running (destroyed first: it waits
  /// for the entry's end).
  std::future<int> entry;
};

/// A value as the simulated registry holds it.
struct stored_value {
  std::uint32_t rc = 0;
  std::uint32_t type = 0;
  std::string bytes;
};

inline stored_value read_value(platform::hive_root root, const char* key, const char* name) {
  stored_value v;
  platform::unique_reg_key k;
  v.rc = platform::host_registry().open_key(root, key, win::key_read, k);
  if (v.rc != win::error_success) return v;
  std::uint32_t size = 0;
  v.rc = k->query_value(name, &v.type, nullptr, &size);
  if (v.rc != win::error_success) return v;
  v.bytes.resize(size);
  v.rc = k->query_value(name, &v.type, reinterpret_cast<std::uint8_t*>(v.bytes.data()), &size);
  return v;
}

inline bool key_exists(platform::hive_root root, const char* key) {
  platform::unique_reg_key k;
  return platform::host_registry().open_key(root, key, win::key_read, k) == win::error_success;
}

/// A REG_SZ as RegSetValueExA stores it: the text and its NUL.
inline std::string sz(const std::string& text) { return text + std::string(1, '\0'); }

}  // namespace kvx::test
