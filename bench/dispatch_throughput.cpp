// How fast dispatch passes get through the simulated System log: every
// record read by number with its own open and close of the log (a size probe
// and an exact read), next to one plain sequential read of the same log, in
// the same run. Each log size is run twice: every record of another source
// (read and dropped: what is timed is the reading), and one record in a
// hundred a kvxwdd record for one adapter of the driver simulator, queued to
// a writer that stands in for the driver request and the log file, so that
// the passes also wait for the writer as the watch does. A full queue ends a
// pass early; the passes go on until one dispatches the whole log.
//
//   bench_dispatch_throughput [records...]     (default 5000 100000)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "bench/dispatch_bench_host.h"
#include "logd/capture/capture_life.h"
#include "logd/capture/watcher.h"
#include "logd/capture/writer_thread.h"
#include "logd/driver_record.h"
#include "logd/state_store.h"
#include "platform/event_log.h"
#include "platform/host.h"
#include "platform/sim/event_log_file.h"
#include "platform/win_codes.h"
#include "simulator/background.h"
#include "tests/support/capture_seams.h"

namespace {

struct pass_result {
  bool ok = false;
  std::uint32_t dispatched = 0;  ///< the last record number the passes dispatched
  int passes = 0;
  double seconds = 0;
};

struct sequential_result {
  std::uint64_t records = 0;
  double seconds = 0;
};

std::vector<std::uint8_t> driver_data(std::uint32_t key) {
  std::vector<std::uint8_t> data(104, 0);
  for (int i = 0; i < 4; ++i) data[40 + i] = static_cast<std::uint8_t>(key >> (24 - 8 * i));
  return data;
}

// `records` records; every `driver_every`th (0: none) a kvxwdd record for the
// simulator's adapter.
bool fill_log(int records, int driver_every) {
  const std::vector<std::uint8_t> other(104, 0);
  const std::vector<std::uint8_t> driver = driver_data(0x0503020A);
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  for (int i = 1; i <= records; ++i) {
    const bool is_driver = driver_every != 0 && i % driver_every == 0;
    const std::int64_t n =
        is_driver ? kvx::sim::append_event_record("System", "kvxwdd", 0xC0070001, 1, 0, now, {}, driver)
                  : kvx::sim::append_event_record("System", "disk", 0x80040007, 2, 0, now, {"a disk message"}, other);
    if (n < 0) return false;
  }
  return true;
}

// Dispatch passes over the whole log from its first record, as the watch
// runs them: one after another while a pass leaves records for a full queue.
pass_result dispatch_whole_log() {
  pass_result out;
  if (kvx::logd::start_capture() != 0) return out;
  kvx::logd::set_last_record_number(0);
  kvx::logd::set_last_record_mark({});
  const auto start = std::chrono::steady_clock::now();
  kvx::logd::pass_result result = kvx::logd::pass_result::deferred;
  while (result == kvx::logd::pass_result::deferred) {
    std::lock_guard<std::mutex> guard(kvx::logd::get_dispatch_lock());
    result = kvx::logd::dispatch_pass();
    ++out.passes;
  }
  kvx::logd::join_writers();
  out.seconds = kvx::bench::seconds_since(start);
  out.ok = result == kvx::logd::pass_result::done;
  out.dispatched = static_cast<std::uint32_t>(kvx::logd::get_last_record_number());
  return out;
}

// One reader, sequential forward reads into a 64 KiB buffer to the end.
sequential_result read_sequentially() {
  sequential_result out;
  const auto start = std::chrono::steady_clock::now();
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
      ++out.records;
      at += length;
    }
  }
  out.seconds = kvx::bench::seconds_since(start);
  return out;
}

// One log of `records` records on a fresh host: the passes, then the
// sequential read. 0 when both read the whole log.
int run(int records, int driver_every) {
  kvx::bench::bench_host host;
  if (!host.ready()) {
    std::fprintf(stderr, "dispatch_throughput: no temporary host root\n");
    return 1;
  }
  kvx::simulator::background_server simulator;
  if (!kvx::bench::start_one_adapter(simulator, "dispatch_throughput")) return 1;
  if (!fill_log(records, driver_every)) {
    std::fprintf(stderr, "dispatch_throughput: append failed\n");
    return 1;
  }

  std::atomic<int> written{0};
  kvx::logd::capture_seams seams;
  seams.request_detail_data = [](kvx::logd::interface_entry*) {
    return std::make_unique<kvx::adapter::detail_reply>(kvx::adapter::detail_reply_size, 0);
  };
  seams.write_log_entry = [&written](const kvx::logd::driver_event&, const kvx::adapter::detail_reply*) {
    ++written;
    return 0;
  };
  kvx::logd::set_capture_seams(seams);
  const pass_result pass = dispatch_whole_log();
  kvx::logd::teardown_store();
  kvx::logd::set_capture_seams({});
  const sequential_result plain = read_sequentially();

  const int drivers = driver_every != 0 ? records / driver_every : 0;
  const double pass_rate = pass.seconds > 0 ? pass.dispatched / pass.seconds : 0;
  const double plain_rate = plain.seconds > 0 ? static_cast<double>(plain.records) / plain.seconds : 0;
  std::printf("%d records, %d of them kvxwdd records for one adapter:\n", records, drivers);
  std::printf(
      "  dispatch passes, per record one open/close, a size probe and an exact read: %u records in %.3f s, "
      "%.0f records/s, %d pass(es), %d kvxwdd records written\n",
      pass.dispatched, pass.seconds, pass_rate, pass.passes, written.load());
  std::printf(
      "  one sequential read of the same log, one open, 64 KiB reads:               %llu records in %.3f s, "
      "%.0f records/s\n",
      static_cast<unsigned long long>(plain.records), plain.seconds, plain_rate);
  std::printf("  ratio sequential / dispatch: %.1f\n", pass_rate > 0 ? plain_rate / pass_rate : 0.0);
  const bool whole = pass.ok && pass.dispatched == static_cast<std::uint32_t>(records) && written.load() == drivers &&
                     plain.records == static_cast<std::uint64_t>(records);
  if (!whole) std::printf("  (the run did not read the whole log: its figures do not count)\n");
  return whole ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {5000, 100000};
  int status = 0;
  for (const int records : sizes) {
    if (records <= 0) continue;
    status |= run(records, 0);
    status |= run(records, 100);
  }
  return status;
}
