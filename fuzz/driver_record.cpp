// A driver record of any bytes and any length, under any unique_id_position,
// dump_data_size, error_log_size and max_record_count, through acceptance,
// decoding and write_log_entry, with any detail reply (or none), any driver
// answers for the versions, port name and slot release, and any bytes already
// in the adapter's log file. After every entry that reports success the log
// file's header must be a whole 16-byte header line whose offset points at
// the end marker.
#include "logd/driver_record.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "adapter/retried_requests.h"
#include "fuzz/support/capture_rig.h"
#include "logd/output/log_entry.h"
#include "logd/output/log_file.h"
#include "logd/state_store.h"
#include "platform/files.h"

namespace {

using namespace kvx;

constexpr const char* log_directory = "C:\\fuzz\\log";

struct fixture : fuzz::capture_rig {
  fixture() {
    (void)fuzz::temp_host_root();
    std::filesystem::create_directories(platform::native_path(log_directory));
    logd::set_error_log_file_path(std::string(log_directory));
    auto names = std::make_unique<std::vector<logd::name_entry>>();
    names->push_back({5, 1, "LINK_DOWN"});
    logd::set_errorlist_name_table(std::move(names));
    logd::set_errorlist_name_count(1);
    auto levels = std::make_unique<std::vector<logd::level_entry>>();
    levels->push_back({1, "ERROR"});
    logd::set_errorlist_level_table(std::move(levels));
    logd::set_errorlist_level_count(1);
  }
};

// `size` bytes of the file from `at` (fewer at its end). A header edited by
// hand may send entries far into a sparse file: only what is checked is read.
std::string read_part(const std::string& path, long at, std::size_t size) {
  const platform::unique_file file(std::fopen(path.c_str(), "rb"));
  std::string bytes(size, '\0');
  if (!file || std::fseek(file.get(), at, SEEK_SET) != 0) return {};
  bytes.resize(std::fread(bytes.data(), 1, size, file.get()));
  return bytes;
}

[[noreturn]] void fail(const char* what, const std::string& header) {
  std::fprintf(stderr, "log file broken: %s; header \"%s\"\n", what, header.c_str());
  std::abort();
}

// A header is "%4d %9d\r\n": 16 bytes, both numbers right-aligned.
void check_log_file(std::uint32_t key) {
  std::string path;
  if (logd::log_file_path(key, path) != 0) return;
  const std::string native = platform::native_path(path.c_str());
  const std::string header = read_part(native, 0, 16);
  if (header.size() < 16) fail("shorter than its header", header);
  int count = -1;
  int offset = -1;
  char cr = 0;
  char lf = 0;
  if (std::sscanf(header.c_str(), "%4d %9d%c%c", &count, &offset, &cr, &lf) != 4 || cr != '\r' || lf != '\n' ||
      header[4] != ' ') {
    fail("header line malformed", header);
  }
  if (count < 0 || count > logd::header_count_limit || offset < logd::log_header_size) {
    fail("number out of range", header);
  }
  if (read_part(native, offset, logd::end_marker_size) != logd::end_marker) {
    fail("offset does not point at the end marker", header);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fixture f;
  FuzzedDataProvider in(data, size);
  logd::set_unique_id_position(in.ConsumeIntegral<std::int32_t>());
  logd::set_dump_data_size(in.ConsumeIntegral<std::int32_t>());
  logd::set_error_log_size(in.ConsumeIntegral<std::int32_t>());
  logd::set_max_record_count(in.ConsumeIntegral<std::int32_t>());
  logd::set_last_error(f.entry, in.ConsumeIntegral<std::int32_t>());

  std::unique_ptr<adapter::detail_reply> reply;
  if (in.ConsumeBool()) {
    const std::size_t reply_size = in.ConsumeBool()
                                       ? adapter::detail_reply_size
                                       : in.ConsumeIntegralInRange<std::size_t>(0, adapter::detail_reply_size);
    reply = std::make_unique<adapter::detail_reply>(reply_size, 0);
    const std::vector<std::uint8_t> head = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 64));
    std::copy(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(std::min(head.size(), reply->size())),
              reply->begin());
  }
  f.new_round(in, 6, 2500);
  const bool existing_file = in.ConsumeBool();
  const std::string file_text = in.ConsumeRandomLengthString(4096);
  const logd::event_record record = in.ConsumeRemainingBytes<std::uint8_t>();

  // Acceptance and decoding: every reader must stay inside the block.
  (void)logd::is_driver_record(record);
  (void)logd::record_number(record);
  (void)logd::time_generated(record);
  const std::optional<std::int32_t> status = logd::read_status_word(record);
  if (status) (void)logd::classify_status(*status);
  const std::optional<std::uint32_t> key = logd::read_event_key(record);
  const std::uint32_t location = key ? logd::location_of_key(*key) : 0x020A;
  logd::set_bus_dev_func(f.entry, static_cast<std::int32_t>(location));

  // One log file per iteration, made here or by the entry and removed at the
  // end, so that the 65536 adapter locations never pile up files.
  std::string path;
  std::string native;
  if (logd::log_file_path(location, path) == 0) native = platform::native_path(path.c_str());
  if (!native.empty() && existing_file) fuzz::write_file(native, file_text);
  if (logd::write_log_entry(record, reply.get()) == 0 && key) check_log_file(*key);

  // The same adapter's detail data logged through a synthetic record.
  const logd::driver_event synthetic = logd::make_synthetic_record(static_cast<std::int32_t>(location));
  if (synthetic.event_key != std::optional<std::uint32_t>(location)) {
    std::fprintf(stderr, "synthetic record does not carry its location\n");
    std::abort();
  }
  if (logd::write_log_entry(synthetic, reply.get(), nullptr) == 0) check_log_file(location);
  if (!native.empty()) std::filesystem::remove(native);
  return 0;
}
