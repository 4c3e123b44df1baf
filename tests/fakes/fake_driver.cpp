#include "tests/fakes/fake_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>

#include "adapter/byte_order.h"
#include "adapter/control_packet.h"
#include "platform/registry.h"
#include "platform/win_codes.h"

namespace kvx::test {
namespace {

class fake_device : public platform::port_device {
 public:
  fake_device(fake_driver& driver, int port) : driver_(driver), port_(port) {}
  std::uint32_t io_control(std::uint32_t code, std::uint8_t* buffer, std::uint32_t size,
                           std::uint32_t& returned) override {
    returned = 0;
    if (code != platform::ioctl_scsi_miniport) return win::error_invalid_parameter;
    const std::uint32_t result = driver_.exchange(port_, buffer, size);
    if (result == win::error_success) returned = size;
    return result;
  }

 private:
  fake_driver& driver_;
  int port_;
};

// "\\.\scsiN:" -> N, or -1.
int port_of(const char* path) {
  const std::string p = path != nullptr ? path : "";
  const std::string prefix = "\\\\.\\scsi";
  if (p.rfind(prefix, 0) != 0 || p.size() < prefix.size() + 2 || p.back() != ':') return -1;
  int port = 0;
  for (std::size_t i = prefix.size(); i + 1 < p.size(); ++i) {
    if (p[i] < '0' || p[i] > '9') return -1;
    port = port * 10 + (p[i] - '0');
  }
  return port;
}

// The text at `at`, cut at the end of the data area.
void copy_text(std::span<std::uint8_t> area, std::size_t at, const std::string& text) {
  const std::size_t n = std::min(text.size(), area.size() - at);
  std::copy_n(text.begin(), n, area.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace

void add_port_map_entry(int port, const char* driver) {
  char key_name[64];
  std::snprintf(key_name, sizeof key_name, "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port %d", port);
  platform::unique_reg_key key;
  ASSERT_EQ(platform::host_registry().create_key(platform::hive_root::local_machine, key_name, win::key_all_access, key,
                                                 nullptr),
            win::error_success);
  const auto* data = reinterpret_cast<const std::uint8_t*>(driver);
  ASSERT_EQ(key->set_value("Driver", win::reg_sz, data, static_cast<std::uint32_t>(std::strlen(driver) + 1)),
            win::error_success);
}

void fake_driver::add_adapter(int port, std::uint32_t pci_location) {
  std::lock_guard<std::mutex> guard(lock_);
  adapters_[port].pci_location = pci_location;
}

void fake_driver::fill_slot(int port, int slot, std::vector<std::uint8_t> data) {
  if (data.size() > adapter::detail_slot_size) data.resize(adapter::detail_slot_size);
  if (data.empty()) data.push_back(0);
  std::lock_guard<std::mutex> guard(lock_);
  adapters_.at(port).slots.at(static_cast<std::size_t>(slot)) = std::move(data);
}

fake_adapter fake_driver::snapshot(int port) {
  std::lock_guard<std::mutex> guard(lock_);
  return adapters_.at(port);
}

std::uint32_t fake_driver::open(const char* path, platform::share_mode, std::unique_ptr<platform::port_device>& out) {
  const int port = port_of(path);
  std::lock_guard<std::mutex> guard(lock_);
  const auto found = adapters_.find(port);
  if (found == adapters_.end() || !found->second.plugged) return win::error_file_not_found;
  out = std::make_unique<fake_device>(*this, port);
  return win::error_success;
}

bool fake_driver::query_dos_device(const char*, std::string&, std::uint32_t& error) {
  error = win::error_file_not_found;
  return false;
}

std::uint32_t fake_driver::exchange(int port, std::uint8_t* buffer, std::uint32_t size) {
  std::lock_guard<std::mutex> guard(lock_);
  fake_adapter& a = adapters_.at(port);
  if (!a.plugged) return win::error_gen_failure;
  if (a.busy_answers > 0) {
    --a.busy_answers;
    return win::error_busy;
  }
  const std::span<std::uint8_t> packet(buffer, size);
  if (size < adapter::header_length + 1) return win::error_invalid_parameter;
  const std::span<std::uint8_t> payload = packet.subspan(adapter::header_length);
  const std::uint32_t code = adapter::get_u32_le(packet, adapter::control_code_offset);
  if (code == adapter::CC_ADAPTER_DATA) {
    if (payload.size() < adapter::adapter_data_area_offset) return win::error_invalid_parameter;
    const std::span<std::uint8_t> area = payload.subspan(adapter::adapter_data_area_offset);
    if (payload[0] == adapter::DATA_VERSIONS && area.size() >= adapter::versions_length) {
      if (!a.driver_version || !a.firmware_version) return win::error_invalid_parameter;
      std::fill(area.begin(), area.end(), std::uint8_t{0});
      copy_text(area, adapter::driver_version_offset, *a.driver_version);
      copy_text(area, adapter::firmware_version_offset, *a.firmware_version);
      return win::error_success;
    }
    if (payload[0] == adapter::DATA_PORT_NAMES && area.size() >= adapter::port_names_length) {
      if (!a.wwpn) return win::error_invalid_parameter;
      (void)adapter::put_u64_le(area, adapter::port_name_offset, *a.wwpn);
      return win::error_success;
    }
    return win::error_invalid_parameter;
  }
  if (code != adapter::CC_COMMAND) return win::error_invalid_parameter;
  switch (payload[0]) {
    case adapter::ERRLOG: {
      if (payload.size() < adapter::errlog_payload_length) return win::error_invalid_parameter;
      ++a.errlog_requests;
      std::fill(payload.begin(), payload.end(), std::uint8_t{0});
      for (std::size_t k = 0; k < a.slots.size(); ++k) {
        if (a.slots[k].empty()) continue;
        payload[k / 8] |= static_cast<std::uint8_t>(0x80u >> (k % 8));
        std::copy(a.slots[k].begin(), a.slots[k].end(),
                  payload.begin() + static_cast<std::ptrdiff_t>(adapter::detail_slots_offset + k * 1024));
      }
      return win::error_success;
    }
    case adapter::SLOT_RELEASE: {
      const std::uint32_t slot = adapter::get_u32_le(payload, adapter::command_slot_offset);
      if (a.release_fails || slot >= a.slots.size()) return win::error_gen_failure;
      a.released.push_back(static_cast<int>(slot));
      if (!a.release_ignored) a.slots[slot].clear();
      return win::error_success;
    }
    case adapter::PCI_LOCATION:
      (void)adapter::put_u32_le(payload, adapter::command_location_offset, a.pci_location);
      return win::error_success;
    default:
      return win::error_invalid_parameter;
  }
}

}  // namespace kvx::test
