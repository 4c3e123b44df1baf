#include "paramutil/device_key.h"

#include <cstring>
#include <vector>

#include "paramutil/parameter_table.h"
#include "platform/win_codes.h"

namespace kvx::paramutil {

bool driver_installed(platform::registry& reg) {
  platform::unique_reg_key key;
  return reg.open_key(platform::hive_root::local_machine, service_key_path, win::key_all_access, key) ==
         win::error_success;
}

bool open_device_key(platform::registry& reg, platform::unique_reg_key& out) {
  return reg.open_key(platform::hive_root::local_machine, device_key_path, win::key_all_access, out) ==
         win::error_success;
}

bool create_device_key(platform::registry& reg, platform::unique_reg_key& out) {
  return reg.create_key(platform::hive_root::local_machine, device_key_path, win::key_all_access, out, nullptr) ==
         win::error_success;
}

bool value_exists(platform::registry_key& key, const char* name) {
  std::uint32_t size = 0;
  return key.query_value(name, nullptr, nullptr, &size) == win::error_success;
}

bool read_text_value(platform::registry_key& key, const char* name, std::string& out) {
  // The value may change size between the probe and the read (another
  // program writing it); a few rounds settle that, then it counts as unread.
  for (int round = 0; round < 4; ++round) {
    std::uint32_t size = 0;
    if (key.query_value(name, nullptr, nullptr, &size) != win::error_success) return false;
    std::vector<std::uint8_t> data(size);
    std::uint32_t got = size;
    const std::uint32_t rc = key.query_value(name, nullptr, data.empty() ? nullptr : data.data(), &got);
    if (rc == win::error_more_data) continue;
    if (rc != win::error_success) return false;
    if (got > data.size()) got = static_cast<std::uint32_t>(data.size());
    const auto* text = reinterpret_cast<const char*>(data.data());
    const void* nul = got == 0 ? nullptr : std::memchr(text, '\0', got);
    out.assign(text, nul != nullptr ? static_cast<const char*>(nul) - text : got);
    return true;
  }
  return false;
}

std::uint32_t write_text_value(platform::registry_key& key, const char* name, std::string_view text) {
  static constexpr std::uint8_t empty_text[1] = {0};
  if (text.empty()) return key.set_value(name, win::reg_sz, empty_text, 1);
  return key.set_value(name, win::reg_sz, reinterpret_cast<const std::uint8_t*>(text.data()),
                       static_cast<std::uint32_t>(text.size()));
}

}  // namespace kvx::paramutil
