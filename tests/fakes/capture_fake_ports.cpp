#include "tests/fakes/capture_fake_ports.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "platform/registry.h"
#include "platform/win_codes.h"

namespace kvx::test {
namespace {

constexpr std::size_t header_size = 28;
constexpr std::uint8_t pci_location_command = 0x2B;
constexpr std::size_t location_offset = header_size + 8;

std::string device_path(int port) { return "\\\\.\\scsi" + std::to_string(port) + ":"; }

class fake_device final : public platform::port_device {
 public:
  explicit fake_device(std::uint32_t location) : location_(location) {}

  std::uint32_t io_control(std::uint32_t, std::uint8_t* buffer, std::uint32_t size, std::uint32_t& returned) override {
    returned = size;
    if (size > header_size && buffer[header_size] == pci_location_command && size >= location_offset + 4) {
      for (int i = 0; i < 4; ++i) buffer[location_offset + i] = static_cast<std::uint8_t>(location_ >> (8 * i));
    }
    // Every other request succeeds with its payload as sent: an ERRLOG reply
    // then shows no occupied slot.
    return win::error_success;
  }

 private:
  std::uint32_t location_;
};

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

void capture_fake_ports::add_port(int port, std::uint32_t location) {
  std::lock_guard<std::mutex> guard(lock_);
  locations_[device_path(port)] = location;
}

void capture_fake_ports::unplug(int port) {
  std::lock_guard<std::mutex> guard(lock_);
  locations_.erase(device_path(port));
}

std::uint32_t capture_fake_ports::open(const char* path, platform::share_mode,
                                       std::unique_ptr<platform::port_device>& out) {
  ++opens;
  std::lock_guard<std::mutex> guard(lock_);
  auto it = locations_.find(path != nullptr ? path : "");
  if (it == locations_.end()) return win::error_file_not_found;
  out = std::make_unique<fake_device>(it->second);
  return win::error_success;
}

bool capture_fake_ports::query_dos_device(const char*, std::string&, std::uint32_t& error) {
  error = win::error_file_not_found;
  return false;
}

}  // namespace kvx::test
