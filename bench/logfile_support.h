// Shared ground of the log output benchmarks: a throw-away simulated host with
// the log directory, the store at its defaults, adapters linked into the
// table, and a driver that answers at once from memory, so that what is timed
// is the output path and not a transport.
#pragma once

#include <stdlib.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapter/byte_order.h"
#include "adapter/control_packet.h"
#include "logd/capture/capture_life.h"
#include "logd/state_store.h"
#include "platform/files.h"
#include "platform/host.h"
#include "platform/port_device.h"
#include "platform/win_codes.h"

namespace kvx::bench {

/// Answers ERRLOG (slots from `occupied`), SLOT_RELEASE and CC_ADAPTER_DATA.
class memory_driver : public platform::port_transport {
 public:
  class device : public platform::port_device {
   public:
    explicit device(memory_driver& owner, int port) : owner_(owner), port_(port) {}
    std::uint32_t io_control(std::uint32_t, std::uint8_t* buffer, std::uint32_t size,
                             std::uint32_t& returned) override {
      returned = size;
      return owner_.answer(port_, std::span<std::uint8_t>(buffer, size));
    }

   private:
    memory_driver& owner_;
    int port_;
  };

  explicit memory_driver(int ports) : slots_(static_cast<std::size_t>(ports)) {}

  void occupy_all(int port) {
    std::lock_guard<std::mutex> guard(lock_);
    slots_[static_cast<std::size_t>(port)] = 0xFFFF;
  }
  bool all_released() {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto s : slots_) {
      if (s != 0) return false;
    }
    return true;
  }

  std::uint32_t open(const char* path, platform::share_mode, std::unique_ptr<platform::port_device>& out) override {
    const std::string p = path;
    const int port = std::atoi(p.c_str() + 8);  // "\\.\scsiN:"
    if (port < 0 || static_cast<std::size_t>(port) >= slots_.size()) return win::error_file_not_found;
    out = std::make_unique<device>(*this, port);
    return win::error_success;
  }
  bool query_dos_device(const char*, std::string&, std::uint32_t& error) override {
    error = win::error_file_not_found;
    return false;
  }

 private:
  std::uint32_t answer(int port, std::span<std::uint8_t> packet) {
    std::span<std::uint8_t> payload = packet.subspan(adapter::header_length);
    if (adapter::get_u32_le(packet, adapter::control_code_offset) == adapter::CC_ADAPTER_DATA) {
      std::span<std::uint8_t> area = payload.subspan(adapter::adapter_data_area_offset);
      if (payload[0] == adapter::DATA_VERSIONS) {
        const std::string driver = "2.1.4";
        const std::string firmware = "10.02";
        std::copy(driver.begin(), driver.end(), area.begin() + adapter::driver_version_offset);
        std::copy(firmware.begin(), firmware.end(), area.begin() + adapter::firmware_version_offset);
      } else {
        (void)adapter::put_u64_le(area, adapter::port_name_offset, 0x1122334455667788ull);
      }
      return win::error_success;
    }
    std::lock_guard<std::mutex> guard(lock_);
    std::uint16_t& bits = slots_[static_cast<std::size_t>(port)];
    if (payload[0] == adapter::ERRLOG) {
      payload[0] = static_cast<std::uint8_t>(bits >> 8);
      payload[1] = static_cast<std::uint8_t>(bits);
      for (int k = 0; k < adapter::detail_slot_count; ++k) {
        payload[adapter::detail_slots_offset + static_cast<std::size_t>(k) * adapter::detail_slot_size] =
            static_cast<std::uint8_t>(k);
      }
    } else if (payload[0] == adapter::SLOT_RELEASE) {
      const std::uint32_t slot = adapter::get_u32_le(payload, adapter::command_slot_offset);
      if (slot < 16) bits = static_cast<std::uint16_t>(bits & ~(0x8000u >> slot));
    }
    return win::error_success;
  }

  std::mutex lock_;
  std::vector<std::uint16_t> slots_;  ///< bit 15 is slot 0
};

/// A fresh KVX_HOST_ROOT with the default log directory, removed at the end.
class bench_host {
 public:
  bench_host() {
    std::string templ = (std::filesystem::temp_directory_path() / "kvx-bench-XXXXXX").string();
    if (::mkdtemp(templ.data()) != nullptr) root_ = templ;
    ::setenv("KVX_HOST_ROOT", root_.c_str(), 1);
    std::filesystem::create_directories(log_dir());
  }
  ~bench_host() {
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }
  bench_host(const bench_host&) = delete;
  bench_host& operator=(const bench_host&) = delete;
  std::filesystem::path log_dir() const {
    return platform::native_path("C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log");
  }

 private:
  std::filesystem::path root_;
};

/// Puts the store at its defaults and links `count` adapters on ports 0.. at
/// locations 0x0100 + port.
inline std::vector<logd::interface_entry*> set_up_store(int count) {
  logd::clear_capture_stop();
  logd::set_max_retry_count(300);
  logd::set_retry_frequency(1);
  logd::set_unique_id_position(40);
  logd::set_dump_data_size(104);
  logd::set_error_log_size(1024);
  logd::set_max_record_count(4096);
  logd::set_error_log_file_path(std::string("C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log"));
  std::vector<logd::interface_entry*> entries;
  logd::interface_entry* last = nullptr;
  for (int port = 0; port < count; ++port) {
    auto made = std::make_unique<logd::interface_entry>();
    made->symbolic_link_name = "\\\\.\\scsi" + std::to_string(port);
    made->bus_dev_func = 0x0100 + port;
    logd::interface_entry* e = logd::adopt_interface_entry(std::move(made));
    if (last == nullptr) {
      logd::set_interface_table(e);
    } else {
      logd::set_next(last, e);
    }
    last = e;
    entries.push_back(e);
  }
  return entries;
}

/// A driver record of `number` for the adapter at `location` (error 5, slot 3).
inline logd::event_record make_record(std::uint32_t number, std::uint16_t location) {
  logd::event_record record(64 + 104 + 4, 0);
  const std::span<std::uint8_t> r(record);
  (void)adapter::put_u32_le(r, 0, static_cast<std::uint32_t>(record.size()));
  (void)adapter::put_u32_le(r, 8, number);
  (void)adapter::put_u32_le(r, 12, 1700000000u);
  (void)adapter::put_u32_le(r, 20, 0xC0070004u);
  (void)adapter::put_u32_le(r, 52, 64);
  const std::string source = "kvxwdd";
  std::copy(source.begin(), source.end(), record.begin() + 56);
  for (std::size_t i = 0; i < 104; ++i) record[64 + i] = static_cast<std::uint8_t>(i);
  (void)adapter::put_u32_le(r, 64 + 16, 0);
  (void)adapter::put_u32_be(r, 64 + 40, 0x05030000u | location);
  return record;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace kvx::bench
