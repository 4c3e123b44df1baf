// The simulated System log file of any bytes, beside a record index that is
// the one the last run left (stale), none, or bytes of the input: the log's
// state, the display walk, the reader that hbalogd uses (counts, size probes,
// seek and sequential reads both ways), hbalogd's own record reader, an
// append and a clear. A damaged file must fail cleanly; a log whose state
// reads must take an append that counts exactly one more record; every
// record read back must parse, and re-encode to a record that parses the
// same; a record read by number must carry that number, whatever the index.
#include "platform/sim/event_log_file.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_host.h"
#include "logd/capture/watcher.h"
#include "logd/driver_record.h"
#include "logd/state_store.h"
#include "platform/event_log.h"
#include "platform/host.h"
#include "platform/win_codes.h"

namespace {

using namespace kvx;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "event log broken: %s\n", what);
  std::abort();
}

bool same(const sim::event_record& a, const sim::event_record& b) {
  return a.record_number == b.record_number && a.time_generated == b.time_generated &&
         a.time_written == b.time_written && a.event_id == b.event_id && a.event_type == b.event_type &&
         a.event_category == b.event_category && a.source_name == b.source_name && a.computer_name == b.computer_name &&
         a.strings == b.strings && a.data == b.data;
}

void check_record_bytes(std::span<const std::uint8_t> bytes) {
  sim::event_record r;
  const std::uint32_t length = sim::parse_event_record(bytes, r);
  if (length == 0) return;
  if (length > bytes.size()) fail("parsed past the bytes");
  const std::vector<std::uint8_t> again = sim::encode_event_record(r);
  sim::event_record back;
  if (again.empty() || sim::parse_event_record(again, back) != again.size() || !same(r, back)) {
    fail("a parsed record does not survive its encoding");
  }
}

// The first record of a read by number `n` is record `n`.
void check_number(std::span<const std::uint8_t> bytes, std::uint32_t n) {
  sim::event_record r;
  if (sim::parse_event_record(bytes, r) == 0 || r.record_number != n) fail("a read by number gave another record");
}

// ReadEventLogA as hbalogd and simhost use it, on one open of the log.
void read_through_the_seam(std::uint32_t probe_from) {
  std::unique_ptr<platform::event_log_reader> reader = platform::backend_event_logs().open_log("System");
  if (!reader) return;
  std::uint32_t oldest = 0;
  std::uint32_t count = 0;
  const bool have_oldest = reader->oldest_record_number(oldest);
  const bool have_count = reader->number_of_records(count);
  std::vector<std::uint8_t> buffer(1 << 16);
  for (std::uint32_t i = 0; i < 6; ++i) {
    const std::uint32_t n = (have_oldest && have_count && i < 3) ? oldest + i : probe_from + i;
    std::uint8_t probe = 0;
    std::uint32_t got = 0;
    std::uint32_t needed = 0;
    const std::uint32_t rc =
        reader->read(win::eventlog_seek_read | win::eventlog_backwards_read, n, &probe, 1, got, needed);
    if (rc == win::error_insufficient_buffer && needed <= buffer.size()) {
      if (reader->read(win::eventlog_sequential_read | win::eventlog_backwards_read, 0, buffer.data(), needed, got,
                       needed) == win::error_success) {
        if (got > buffer.size()) fail("read more than the buffer");
        check_record_bytes(std::span<const std::uint8_t>(buffer).first(got));
        check_number(std::span<const std::uint8_t>(buffer).first(got), n);
      }
    }
    if (reader->read(win::eventlog_seek_read | win::eventlog_forwards_read, n, buffer.data(),
                     static_cast<std::uint32_t>(buffer.size()), got, needed) == win::error_success) {
      check_number(std::span<const std::uint8_t>(buffer).first(got), n);
    }
  }
  for (std::uint32_t direction : {win::eventlog_forwards_read, win::eventlog_backwards_read}) {
    for (int step = 0; step < 64; ++step) {
      std::uint32_t got = 0;
      std::uint32_t needed = 0;
      const std::uint32_t rc = reader->read(win::eventlog_sequential_read | direction, 0, buffer.data(),
                                            static_cast<std::uint32_t>(buffer.size()), got, needed);
      if (rc != win::error_success) break;
      if (got == 0 || got > buffer.size()) fail("a sequential read without whole records");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)fuzz::temp_host_root();
  // hbalogd's reports of a damaged log are dropped, or the Application log
  // of the temporary host would grow with every iteration.
  static fuzz::quiet_event_logs logs(&platform::backend_event_logs());
  static const platform::scoped_event_logs logs_guard(logs);
  FuzzedDataProvider in(data, size);
  const std::uint32_t probe_from = in.ConsumeIntegral<std::uint32_t>();
  const std::uint32_t start_at = in.ConsumeIntegral<std::uint32_t>();
  const std::vector<std::uint8_t> record_data = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<int>(0, 128));
  const int index_kind = in.ConsumeIntegralInRange<int>(0, 2);
  const std::string file = in.ConsumeRemainingBytesAsString();
  fuzz::write_file(sim::event_log_path("System"), file);
  const std::filesystem::path index = sim::event_log_path("System").string() + ".idx";
  if (index_kind == 1) {
    std::error_code ec;
    std::filesystem::remove(index, ec);
  } else if (index_kind == 2) {
    // The file's own bytes: records where entries should be.
    fuzz::write_file(index, file);
  }

  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(file.data()), file.size());
  check_record_bytes(bytes);
  if (bytes.size() > 64) check_record_bytes(bytes.subspan(64));

  sim::event_log_state state;
  const bool readable = sim::read_event_log_state("System", state) == 0;
  std::vector<sim::event_record> records;
  if (sim::read_event_log("System", records) == 0 && (!readable || records.size() != state.record_count)) {
    fail("the walk and the header disagree");
  }
  read_through_the_seam(probe_from);

  // hbalogd's view: the span and each record it would dispatch.
  logd::log_span span;
  if (logd::read_log_span(span) == 0 && span.count != 0) {
    for (std::uint32_t i = 0; i < 4 && i < span.count; ++i) {
      const std::uint32_t n = logd::advance_record_number(logd::span_first(span), i);
      if (std::unique_ptr<logd::event_record> r = logd::read_record(n)) {
        if (logd::record_number(*r) != n) fail("hbalogd read another record than it asked for");
        (void)logd::is_driver_record(*r);
      }
    }
  }

  const std::int64_t appended =
      sim::append_event_record("System", "kvxwdd", 0xC0070001, 1, 0, 0, {"\\Device\\KvxPort2"}, record_data);
  sim::event_log_state after;
  if (readable && state.record_count != 0xFFFFFFFFu) {
    if (appended != state.next_number || sim::read_event_log_state("System", after) != 0 ||
        after.record_count != state.record_count + 1 ||
        after.next_number != sim::next_record_number(state.next_number)) {
      fail("an append to a readable log did not count one more record");
    }
  }
  if (start_at != 0 &&
      (sim::clear_event_log("System", sim::clear_numbering::start_at, start_at) != 0 ||
       sim::read_event_log_state("System", after) != 0 || after.record_count != 0 || after.next_number != start_at)) {
    fail("a clear did not leave an empty log");
  }
  return 0;
}
