// A burst of 16 records on each of 128 adapters, written the way the writer
// threads write them (one thread per adapter, one detail request, then one
// entry per record): the time until every entry is on stable storage and
// every slot has gone back to the driver (target: under 1 s). Printed only.
#include <thread>

#include "bench/logfile_support.h"
#include "logd/capture/service_requests.h"
#include "logd/output/log_entry.h"

int main() {
  using namespace kvx;
  constexpr int adapters = 128;
  constexpr int burst = 16;
  bench::bench_host host;
  bench::memory_driver driver(adapters);
  platform::scoped_ports ports(driver);
  const std::vector<logd::interface_entry*> entries = bench::set_up_store(adapters);
  for (int port = 0; port < adapters; ++port) driver.occupy_all(port);

  std::vector<std::vector<logd::event_record>> queues(adapters);
  for (int port = 0; port < adapters; ++port) {
    for (int n = 0; n < burst; ++n) {
      logd::event_record record = bench::make_record(static_cast<std::uint32_t>(port * burst + n + 1),
                                                     static_cast<std::uint16_t>(0x0100 + port));
      record[64 + 41] = static_cast<std::uint8_t>(n);  // slot n of the key
      queues[static_cast<std::size_t>(port)].push_back(std::move(record));
    }
  }
  int failures = 0;
  std::mutex failure_lock;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> writers;
  for (int port = 0; port < adapters; ++port) {
    writers.emplace_back([&, port] {
      const auto reply = kvx::logd::request_detail_data(entries[static_cast<std::size_t>(port)]);
      for (const auto& record : queues[static_cast<std::size_t>(port)]) {
        if (logd::write_log_entry(record, reply.get()) != 0) {
          std::lock_guard<std::mutex> guard(failure_lock);
          ++failures;
        }
      }
    });
  }
  for (auto& w : writers) w.join();
  const double seconds = bench::seconds_since(start);
  std::printf(
      "burst of %d records on each of %d adapters: %d entries on disk in %.3f s (%.0f entries/s, target under 1 s: "
      "%s)%s\n",
      burst, adapters, adapters * burst - failures, seconds, adapters * burst / seconds,
      seconds < 1.0 ? "met" : "MISSED", driver.all_released() ? ", every slot released" : ", SOME SLOTS NOT RELEASED");
  logd::teardown_store();
  return failures == 0 ? 0 : 1;
}
