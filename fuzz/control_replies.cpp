// Every reply reader of the control protocol on reply bytes of any length,
// and every request of kvxls and hbalogd against a device whose exchanges
// answer any bytes with any error and byte count. Readers must stay inside
// the bytes they are given and give texts and sizes within their fields.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adapter/control_packet.h"
#include "adapter/single_requests.h"
#include "fuzz/support/capture_rig.h"
#include "logd/capture/service_requests.h"
#include "logd/state_store.h"
#include "platform/host.h"
#include "platform/win_codes.h"

namespace {

using namespace kvx;
using namespace kvx::adapter;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "reply reader broken: %s\n", what);
  std::abort();
}

void check_text(const std::string& text, std::size_t room) {
  if (text.size() > room || std::memchr(text.data(), 0, text.size()) != nullptr) fail("text field");
}

void read_every_field(std::span<const std::uint8_t> bytes, std::size_t begin, std::size_t end) {
  std::uint32_t location = 0;
  (void)read_pci_location(bytes, location);
  const std::span<const std::uint8_t> payload = packet_payload(bytes);
  if (!payload.empty() && payload.data() != bytes.data() + header_length) fail("payload");
  for (int type = 0; type <= 4; ++type) {
    if (adapter_data_area(bytes, type).size() > adapter_data_length(type)) fail("data area");
  }
  const std::size_t clipped_end = std::min(end, bytes.size());
  check_text(read_text_field(bytes, begin, end), begin < clipped_end ? clipped_end - begin : 0);
  check_text(driver_version_text(bytes), firmware_version_offset - driver_version_offset);
  check_text(firmware_version_text(bytes), versions_length - firmware_version_offset);
  if (format_world_wide_name(world_wide_node_name(bytes)).size() != 17) fail("node name");
  if (format_world_wide_name(world_wide_port_name(bytes)).size() != 17) fail("port name");
  for (int slot = -2; slot <= detail_slot_count + 1; ++slot) {
    (void)slot_occupied(bytes, slot);
    if (detail_slot_data(bytes, slot).size() > detail_slot_size) fail("slot data");
  }
  if (!bytes.empty()) {
    const std::uint16_t id = package_device_id(bytes[0]);
    if (id != 0xFFFF && (id < 0x6A20 || id > 0x6A24)) fail("device id");
  }
}

void run_requests(fuzz::capture_rig& f, FuzzedDataProvider& in) {
  f.new_round(in, 24, 300);
  f.ports.refuse_open = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? win::error_file_not_found : 0;

  const char* path = "\\\\.\\scsi2";
  std::uint32_t location = 0;
  (void)tool_pci_location(path, location);
  for (int type = DATA_VERSIONS; type <= DATA_PARTS_NUMBER; ++type) {
    std::vector<std::uint8_t> area(adapter_data_length(type));
    (void)tool_adapter_data(path, type, area);
  }
  std::array<std::uint8_t, hbainfo_size> info{};
  (void)tool_hbainfo(path, info);
  std::uint16_t vendor = 0;
  std::uint16_t device = 0;
  std::uint8_t revision = 0;
  std::uint8_t ec = 0;
  if (tool_pkgtype(path, vendor, device, revision, ec) == 0 && vendor != pci_vendor_id) fail("vendor id");

  std::vector<std::uint8_t> versions(versions_length);
  (void)logd::request_adapter_data(path, DATA_VERSIONS, versions.data());
  std::vector<std::uint8_t> names(port_names_length);
  (void)logd::request_adapter_data(path, DATA_PORT_NAMES, names.data());
  (void)logd::request_pci_location(path, location);
  if (std::unique_ptr<detail_reply> reply = logd::request_detail_data(f.entry)) {
    if (reply->size() != detail_reply_size) fail("detail reply size");
    read_every_field(*reply, 0, reply->size());
  }
  (void)logd::release_detail_slot(f.entry, in.ConsumeIntegralInRange<int>(-1, detail_slot_count));
}

}  // namespace

// kvxls's requests report failed exchanges on the standard error stream;
// libFuzzer keeps its own reports on a copy of it.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> args;
  args.assign(*argv, *argv + *argc);
  static char quiet[] = "-close_fd_mask=2";
  args.push_back(quiet);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size()) - 1;
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::capture_rig f;
  FuzzedDataProvider in(data, size);
  const std::size_t begin = in.ConsumeIntegral<std::uint16_t>();
  const std::size_t end = in.ConsumeIntegral<std::uint16_t>();
  const std::vector<std::uint8_t> reply =
      in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 20000));
  read_every_field(reply, begin, end);
  run_requests(f, in);
  return 0;
}
