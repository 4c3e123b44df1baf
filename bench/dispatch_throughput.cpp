// How fast a dispatch pass gets through the simulated System log: every
// record read by number with its own open and close of the log (a size probe
// and an exact read), next to one plain sequential read of the same log.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "bench/dispatch_bench_host.h"
#include "logd/state_store.h"
#include "logd/watcher.h"
#include "platform/event_log.h"
#include "platform/host.h"
#include "platform/sim/event_log_file.h"
#include "platform/win_codes.h"

int main(int argc, char** argv) {
  const int records = argc > 1 ? std::atoi(argv[1]) : 5000;
  kvx::bench::bench_host host;
  if (!host.ready()) {
    std::fprintf(stderr, "dispatch_throughput: no temporary host root\n");
    return 1;
  }
  // Records of another source: the pass reads and drops each one, so what is
  // timed is the reading, not the writers.
  const std::vector<std::uint8_t> data(104, 0);
  for (int i = 0; i < records; ++i) {
    if (kvx::sim::append_event_record("System", "disk", 0x80040007, 2, 0,
                                      static_cast<std::uint32_t>(std::time(nullptr)), {"a disk message"}, data) < 0) {
      std::fprintf(stderr, "dispatch_throughput: append failed\n");
      return 1;
    }
  }

  kvx::logd::create_store_locks();
  kvx::logd::set_last_record_number(0);
  const auto pass_start = std::chrono::steady_clock::now();
  int pass_result = 0;
  {
    std::lock_guard<std::mutex> guard(kvx::logd::get_dispatch_lock());
    pass_result = kvx::logd::dispatch_pass();
  }
  const double pass_seconds = kvx::bench::seconds_since(pass_start);
  const auto passed = static_cast<std::uint32_t>(kvx::logd::get_last_record_number());
  kvx::logd::teardown_store();
  kvx::logd::destroy_store_locks();

  const auto plain_start = std::chrono::steady_clock::now();
  std::uint64_t plain_count = 0;
  {
    std::unique_ptr<kvx::platform::event_log_reader> reader = kvx::platform::host_event_logs().open_log("System");
    std::vector<std::uint8_t> buffer(64 * 1024);
    while (reader) {
      std::uint32_t got = 0;
      std::uint32_t needed = 0;
      const std::uint32_t flags = kvx::win::eventlog_sequential_read | kvx::win::eventlog_forwards_read;
      const std::uint32_t rc =
          reader->read(flags, 0, buffer.data(), static_cast<std::uint32_t>(buffer.size()), got, needed);
      if (rc == kvx::win::error_insufficient_buffer) {
        buffer.resize(needed);
        continue;
      }
      if (rc != kvx::win::error_success) break;
      // A read may give several whole records; each carries its Length first.
      for (std::uint32_t at = 0; at + 4 <= got;) {
        const std::uint32_t length =
            buffer[at] | buffer[at + 1] << 8 | buffer[at + 2] << 16 | static_cast<std::uint32_t>(buffer[at + 3]) << 24;
        if (length == 0) break;
        ++plain_count;
        at += length;
      }
    }
  }
  const double plain_seconds = kvx::bench::seconds_since(plain_start);

  const double pass_rate = passed / pass_seconds;
  const double plain_rate = static_cast<double>(plain_count) / plain_seconds;
  std::printf("dispatch pass, one open/close and two reads per record: %u records in %.3f s, %.0f records/s%s\n",
              passed, pass_seconds, pass_rate, pass_result == 0 ? "" : " (pass gave 1)");
  std::printf("plain sequential read of the same log, one open:        %llu records in %.3f s, %.0f records/s\n",
              static_cast<unsigned long long>(plain_count), plain_seconds, plain_rate);
  std::printf("ratio sequential / per-record: %.1f\n", pass_rate > 0 ? plain_rate / pass_rate : 0.0);
  return 0;
}
