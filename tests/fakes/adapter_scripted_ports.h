// A port transport for the adapter access tests: opens fail or succeed as
// told, exchanges fail with the queued errors and then succeed, and every
// open, exchange and close is recorded. Thread-safe; install it with
// platform::scoped_ports.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/port_device.h"

namespace kvx::test {

class scripted_ports final : public platform::port_transport {
 public:
  struct sent_packet {
    std::string path;
    std::uint32_t code = 0;
    std::vector<std::uint8_t> bytes;  ///< as it was sent
  };

  /// What every open gives; error_success opens a device.
  void set_open_error(std::uint32_t error);
  /// The next opens fail with these errors, in order, before set_open_error's applies.
  void queue_open_errors(std::vector<std::uint32_t> errors);
  /// The next exchanges fail with these errors, in order; then they succeed.
  void queue_errors(std::vector<std::uint32_t> errors);
  /// The byte count a failing exchange gives back.
  void set_failure_returned(std::uint32_t returned);
  /// Fills the packet of a successful exchange (by default it is left as sent).
  void set_reply(std::function<void(std::span<std::uint8_t>)> reply);
  /// What query_dos_device gives; empty fails it with error_file_not_found.
  void set_dos_target(std::string target);

  int opens();
  int closes();
  int exchanges();
  std::vector<platform::share_mode> modes();
  std::vector<sent_packet> sent();

  std::uint32_t open(const char* path, platform::share_mode mode, std::unique_ptr<platform::port_device>& out) override;
  bool query_dos_device(const char* dos_name, std::string& target, std::uint32_t& error) override;

  // Called by the devices.
  std::uint32_t exchange(const std::string& path, std::uint32_t code, std::span<std::uint8_t> packet,
                         std::uint32_t& returned);
  void closed();

 private:
  std::mutex lock_;
  std::uint32_t open_error_ = 0;
  std::deque<std::uint32_t> open_errors_;
  std::deque<std::uint32_t> errors_;
  std::uint32_t failure_returned_ = 0;
  std::function<void(std::span<std::uint8_t>)> reply_;
  std::string dos_target_;
  int opens_ = 0;
  int closes_ = 0;
  std::vector<platform::share_mode> modes_;
  std::vector<sent_packet> sent_;
};

}  // namespace kvx::test
