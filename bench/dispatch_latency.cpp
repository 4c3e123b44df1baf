// Latency from a kvxwdd record appended to the simulated System log to its
// dispatch (the writer thread handing it to the entry writer), one record in
// flight at a time, through change notification; the notify thread keeps its
// shipped 5-second cycle, so a missed notification would show as seconds.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/dispatch_bench_host.h"
#include "logd/capture_life.h"
#include "logd/driver_record.h"
#include "logd/state_store.h"
#include "logd/watcher.h"
#include "platform/sim/event_log_file.h"
#include "simulator/background.h"
#include "tests/support/capture_seams.h"
#include "tests/support/records.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct dispatch_log {
  std::mutex lock;
  std::condition_variable changed;
  std::map<std::uint32_t, clock_type::time_point> dispatched;  ///< by record number
  bool watching = false;
};

}  // namespace

int main(int argc, char** argv) {
  const int records = argc > 1 ? std::atoi(argv[1]) : 1000;
  kvx::bench::bench_host host;
  if (!host.ready()) {
    std::fprintf(stderr, "dispatch_latency: no temporary host root\n");
    return 1;
  }
  kvx::simulator::background_server simulator;
  if (!kvx::bench::start_one_adapter(simulator, "dispatch_latency")) return 1;

  dispatch_log log;
  kvx::logd::capture_seams seams;
  // The detail request and the entry writer are left out: what is measured is
  // the way from the log to the writer.
  seams.request_detail_data = [](kvx::logd::interface_entry*) {
    return std::make_unique<kvx::adapter::detail_reply>(kvx::adapter::detail_reply_size, 0);
  };
  seams.write_log_entry = [&log](const kvx::logd::driver_event& event, const kvx::adapter::detail_reply*) {
    const auto now = clock_type::now();
    std::lock_guard<std::mutex> guard(log.lock);
    log.dispatched.emplace(event.number, now);
    log.changed.notify_all();
    return 0;
  };
  seams.thread_start_refused = [&log](const char* which) {
    if (std::string(which) == "retry") {
      std::lock_guard<std::mutex> guard(log.lock);
      log.watching = true;
      log.changed.notify_all();
    }
    return false;
  };
  kvx::logd::set_capture_seams(seams);
  std::thread worker([] { (void)kvx::logd::worker_thread([] {}); });
  {
    std::unique_lock<std::mutex> guard(log.lock);
    if (!log.changed.wait_for(guard, std::chrono::seconds(30), [&] { return log.watching; })) {
      std::fprintf(stderr, "dispatch_latency: the watch did not start\n");
      kvx::logd::stop_watch();
      guard.unlock();
      worker.join();
      return 1;
    }
  }

  std::vector<double> latencies;
  int lost = 0;
  const std::vector<std::uint8_t> data = kvx::test::driver_data_bytes(0, 0x0503020A);
  for (int i = 0; i < records; ++i) {
    const auto appended = clock_type::now();
    const std::int64_t number = kvx::sim::append_event_record("System", "kvxwdd", 0xC0070001, 1, 0,
                                                              static_cast<std::uint32_t>(std::time(nullptr)), {}, data);
    if (number < 0) {
      std::fprintf(stderr, "dispatch_latency: append failed\n");
      break;
    }
    std::unique_lock<std::mutex> guard(log.lock);
    const auto n = static_cast<std::uint32_t>(number);
    if (!log.changed.wait_for(guard, std::chrono::seconds(10), [&] { return log.dispatched.count(n) != 0; })) {
      ++lost;
      continue;
    }
    latencies.push_back(std::chrono::duration<double, std::milli>(log.dispatched[n] - appended).count());
  }
  kvx::logd::stop_watch();
  worker.join();
  kvx::logd::set_capture_seams({});

  const double median = kvx::bench::percentile_ms(latencies, 0.5);
  std::printf("dispatch latency, appended record to writer, %zu records: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
              latencies.size(), median, kvx::bench::percentile_ms(latencies, 0.99),
              kvx::bench::percentile_ms(latencies, 1.0));
  std::printf("target median under 20 ms: %s; not dispatched within 10 s: %d\n", median < 20.0 ? "met" : "MISSED",
              lost);
  return 0;
}
