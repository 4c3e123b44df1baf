// Latency from a kvxwdd record appended to the simulated System log to its
// dispatch (the writer thread handing it to the entry writer), one record in
// flight at a time, through change notification; the notify thread keeps its
// shipped 5-second cycle, so a missed notification would show as seconds.
// Then the same to the record's entry on stable storage with its slot handed
// back: the writer's real detail request and entry writer, flush included.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/dispatch_bench_host.h"
#include "logd/capture/capture_life.h"
#include "logd/capture/watcher.h"
#include "logd/driver_record.h"
#include "logd/output/log_entry.h"
#include "logd/state_store.h"
#include "platform/files.h"
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

// One record in flight at a time, `records` of them; the latencies in
// milliseconds, and how many never arrived within 10 s. With `real_writer`,
// the writer's detail request goes to the simulator and its entry is written
// (and flushed) by the entry writer, and each latency runs to the entry on
// disk with its slot handed back; otherwise both are stood in for, and it
// runs to the record's hand-over to the entry writer.
bool measure(kvx::simulator::background_server& simulator, int records, bool real_writer,
             std::vector<double>& latencies, int& lost) {
  dispatch_log log;
  kvx::logd::capture_seams seams;
  if (!real_writer) {
    // What is measured is the way from the log to the writer.
    seams.request_detail_data = [](kvx::logd::interface_entry*) {
      return std::make_unique<kvx::adapter::detail_reply>(kvx::adapter::detail_reply_size, 0);
    };
  }
  seams.write_log_entry = [&log, real_writer](const kvx::logd::driver_event& event,
                                              const kvx::adapter::detail_reply* reply) {
    const int written = real_writer ? kvx::logd::write_log_entry(event, reply, nullptr) : 0;
    const auto now = clock_type::now();
    std::lock_guard<std::mutex> guard(log.lock);
    log.dispatched.emplace(event.number, now);
    log.changed.notify_all();
    return written;
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
  const auto finish = [&worker] {
    kvx::logd::stop_watch();
    worker.join();
    kvx::logd::set_capture_seams({});
    kvx::logd::teardown_store();
  };
  {
    std::unique_lock<std::mutex> guard(log.lock);
    if (!log.changed.wait_for(guard, std::chrono::seconds(30), [&] { return log.watching; })) {
      std::fprintf(stderr, "dispatch_latency: the watch did not start\n");
      guard.unlock();
      finish();
      return false;
    }
  }

  const std::vector<std::uint8_t> data = kvx::test::driver_data_bytes(0, 0x0503020A);
  for (int i = 0; i < records; ++i) {
    // The record's slot (3) holds detail data for the entry writer to dump and give back.
    if (real_writer && simulator.control({"fill", "--port", "2", "--slot", "3"}).status != 0) {
      std::fprintf(stderr, "dispatch_latency: the simulator did not fill the slot\n");
      break;
    }
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
  finish();
  return true;
}

void print(const char* what, const std::vector<double>& latencies, int lost, double target_ms) {
  const double median = kvx::bench::percentile_ms(latencies, 0.5);
  std::printf("%s, %zu records: median %.3f ms, p99 %.3f ms, max %.3f ms\n", what, latencies.size(), median,
              kvx::bench::percentile_ms(latencies, 0.99), kvx::bench::percentile_ms(latencies, 1.0));
  std::printf("target median under %.0f ms: %s; not dispatched within 10 s: %d\n", target_ms,
              median < target_ms ? "met" : "MISSED", lost);
}

}  // namespace

int main(int argc, char** argv) {
  const int records = argc > 1 ? std::atoi(argv[1]) : 1000;
  kvx::bench::bench_host host;
  if (!host.ready()) {
    std::fprintf(stderr, "dispatch_latency: no temporary host root\n");
    return 1;
  }
  std::error_code ec;
  std::filesystem::create_directories(
      kvx::platform::native_path("C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log"), ec);
  kvx::simulator::background_server simulator;
  if (!kvx::bench::start_one_adapter(simulator, "dispatch_latency")) return 1;

  for (const bool real_writer : {false, true}) {
    std::vector<double> latencies;
    int lost = 0;
    if (!measure(simulator, records, real_writer, latencies, lost)) return 1;
    if (real_writer) {
      print("dispatch latency, appended record to its entry flushed and its slot released", latencies, lost, 2);
    } else {
      print("dispatch latency, appended record to writer", latencies, lost, 20);
    }
  }
  return 0;
}
