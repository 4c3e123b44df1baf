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

class fake_device final : public platform::port_device {
 public:
  fake_device(fake_driver& driver, std::string path) : driver_(driver), path_(std::move(path)) {}
  ~fake_device() override { driver_.closed(); }
  fake_device(const fake_device&) = delete;
  fake_device& operator=(const fake_device&) = delete;

  std::uint32_t io_control(std::uint32_t code, std::uint8_t* buffer, std::uint32_t size,
                           std::uint32_t& returned) override {
    return driver_.exchange(path_, code, std::span<std::uint8_t>(buffer, size), returned);
  }

 private:
  fake_driver& driver_;
  std::string path_;
};

// "\\.\scsiN:" -> N, or -1.
int port_of(const std::string& p) {
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

void fake_driver::script_every_port() {
  std::lock_guard<std::mutex> guard(lock_);
  every_port_ = true;
}

void fake_driver::set_open_error(std::uint32_t error) {
  std::lock_guard<std::mutex> guard(lock_);
  open_error_ = error;
}

void fake_driver::queue_open_errors(std::vector<std::uint32_t> errors) {
  std::lock_guard<std::mutex> guard(lock_);
  open_errors_.insert(open_errors_.end(), errors.begin(), errors.end());
}

void fake_driver::queue_errors(std::vector<std::uint32_t> errors) {
  std::lock_guard<std::mutex> guard(lock_);
  errors_.insert(errors_.end(), errors.begin(), errors.end());
}

void fake_driver::set_failure_returned(std::uint32_t returned) {
  std::lock_guard<std::mutex> guard(lock_);
  failure_returned_ = returned;
}

void fake_driver::set_reply(std::function<void(std::span<std::uint8_t>)> reply) {
  std::lock_guard<std::mutex> guard(lock_);
  reply_ = std::move(reply);
}

void fake_driver::set_dos_target(std::string target) {
  std::lock_guard<std::mutex> guard(lock_);
  dos_target_ = std::move(target);
}

int fake_driver::opens() {
  std::lock_guard<std::mutex> guard(lock_);
  return opens_;
}

int fake_driver::closes() {
  std::lock_guard<std::mutex> guard(lock_);
  return closes_;
}

int fake_driver::exchanges() {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(sent_.size());
}

std::vector<platform::share_mode> fake_driver::modes() {
  std::lock_guard<std::mutex> guard(lock_);
  return modes_;
}

std::vector<fake_driver::sent_packet> fake_driver::sent() {
  std::lock_guard<std::mutex> guard(lock_);
  return sent_;
}

std::uint32_t fake_driver::open(const char* path, platform::share_mode mode,
                                std::unique_ptr<platform::port_device>& out) {
  const std::string p = path != nullptr ? path : "";
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++opens_;
    modes_.push_back(mode);
    if (!open_errors_.empty()) {
      const std::uint32_t error = open_errors_.front();
      open_errors_.pop_front();
      return error;
    }
    if (open_error_ != win::error_success) return open_error_;
    const auto found = adapters_.find(port_of(p));
    if (found == adapters_.end() ? !every_port_ : !found->second.plugged) return win::error_file_not_found;
  }
  // Made outside the lock: a device that `out` held before closes through it.
  out = std::make_unique<fake_device>(*this, p);
  return win::error_success;
}

bool fake_driver::query_dos_device(const char*, std::string& target, std::uint32_t& error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (dos_target_.empty()) {
    error = win::error_file_not_found;
    return false;
  }
  target = dos_target_;
  return true;
}

void fake_driver::closed() {
  std::lock_guard<std::mutex> guard(lock_);
  ++closes_;
}

std::uint32_t fake_driver::exchange(const std::string& path, std::uint32_t code, std::span<std::uint8_t> packet,
                                    std::uint32_t& returned) {
  std::lock_guard<std::mutex> guard(lock_);
  returned = 0;
  const auto found = adapters_.find(port_of(path));
  // The packets to adapters are answered, not kept: the output tests send
  // thousands of detail requests.
  sent_.push_back({path, code,
                   found == adapters_.end() ? std::vector<std::uint8_t>(packet.begin(), packet.end())
                                            : std::vector<std::uint8_t>()});
  if (!errors_.empty()) {
    const std::uint32_t error = errors_.front();
    errors_.pop_front();
    returned = failure_returned_;
    return error;
  }
  if (found == adapters_.end()) {
    if (reply_) reply_(packet);
    returned = static_cast<std::uint32_t>(packet.size());
    return win::error_success;
  }
  if (code != platform::ioctl_scsi_miniport) return win::error_invalid_parameter;
  const std::uint32_t result = answer(found->second, packet);
  if (result == win::error_success) returned = static_cast<std::uint32_t>(packet.size());
  return result;
}

std::uint32_t fake_driver::answer(fake_adapter& a, std::span<std::uint8_t> packet) {
  if (!a.plugged) return win::error_gen_failure;
  if (a.busy_answers > 0) {
    --a.busy_answers;
    return win::error_busy;
  }
  if (packet.size() < adapter::header_length + 1) return win::error_invalid_parameter;
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
      if (a.on_release) a.on_release(static_cast<int>(slot));
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
