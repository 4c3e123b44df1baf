// The port devices of the simulated host: each open handle is a connection
// to the device's socket, served by the driver simulator (port_protocol.h).
#include <errno.h>

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/host.h"
#include "platform/port_device.h"
#include "platform/sim/port_protocol.h"
#include "platform/win_codes.h"

namespace kvx::platform {
namespace {

using sim::frame_kind;

std::vector<std::uint8_t> hello(std::uint32_t mode_word, bool with_mode) {
  std::vector<std::uint8_t> out;
  auto put = [&out](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  put(sim::port_protocol_magic);
  put(sim::port_protocol_version);
  if (with_mode) put(mode_word);
  return out;
}

/// A device whose socket is missing or has no server behind it is a device
/// that does not exist.
std::uint32_t connect_device(const std::string& name, sim::unique_fd& fd) {
  const int rc = sim::connect_socket(sim::device_socket_path(name), fd);
  if (rc == 0) return win::error_success;
  if (rc == ENOENT || rc == ECONNREFUSED || rc == ENAMETOOLONG || rc == ENOTDIR) return win::error_file_not_found;
  if (rc == EACCES) return win::error_access_denied;
  return win::error_gen_failure;
}

class sim_port_device final : public port_device {
 public:
  explicit sim_port_device(sim::unique_fd fd) : fd_(std::move(fd)) {}

  ~sim_port_device() override {
    // Wait for the server to release the handle, so that an open right after
    // this close never meets it (CloseHandle is synchronous).
    std::uint32_t error = 0;
    std::uint32_t returned = 0;
    std::vector<std::uint8_t> ignored;
    if (fd_) (void)sim::call(fd_.get(), frame_kind::close, {}, error, returned, ignored);
  }

  std::uint32_t io_control(std::uint32_t code, std::uint8_t* buffer, std::uint32_t size,
                           std::uint32_t& returned) override {
    returned = 0;
    if (buffer == nullptr && size != 0) return win::error_invalid_parameter;
    if (size > sim::max_frame_payload - 4) return win::error_invalid_parameter;
    std::vector<std::uint8_t> request;
    request.reserve(4 + size);
    for (int i = 0; i < 4; ++i) request.push_back(static_cast<std::uint8_t>(code >> (8 * i)));
    request.insert(request.end(), buffer, buffer + size);

    std::lock_guard<std::mutex> guard(lock_);
    std::uint32_t error = 0;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> reply;
    if (!fd_ || !sim::call(fd_.get(), frame_kind::io_control, request, error, count, reply)) {
      // The device went away under the handle (unplugged, or its server ended).
      fd_.reset();
      return win::error_gen_failure;
    }
    if (error != win::error_success) return error;
    const std::size_t copied = reply.size() < size ? reply.size() : size;
    std::copy(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(copied), buffer);
    returned = count;
    return win::error_success;
  }

 private:
  std::mutex lock_;  // one request at a time on this connection
  sim::unique_fd fd_;
};

class sim_port_transport final : public port_transport {
 public:
  std::uint32_t open(const char* path, share_mode mode, std::unique_ptr<port_device>& out) override {
    std::string name;
    if (!sim::device_name_of_path(path, name)) return win::error_file_not_found;
    sim::unique_fd fd;
    if (const std::uint32_t error = connect_device(name, fd); error != win::error_success) return error;
    std::uint32_t error = 0;
    std::uint32_t returned = 0;
    std::vector<std::uint8_t> reply;
    if (!sim::call(fd.get(), frame_kind::open, hello(mode == share_mode::exclusive ? 1 : 0, true), error, returned,
                   reply)) {
      return win::error_file_not_found;  // the server vanished between connect and answer
    }
    if (error != win::error_success) return error;
    out = std::make_unique<sim_port_device>(std::move(fd));
    return win::error_success;
  }

  bool query_dos_device(const char* dos_name, std::string& target, std::uint32_t& error) override {
    std::string name;
    if (!sim::device_name_of_dos_name(dos_name, name)) {
      error = win::error_file_not_found;
      return false;
    }
    sim::unique_fd fd;
    error = connect_device(name, fd);
    if (error != win::error_success) return false;
    std::uint32_t returned = 0;
    std::vector<std::uint8_t> reply;
    if (!sim::call(fd.get(), frame_kind::query, hello(0, false), error, returned, reply)) {
      error = win::error_file_not_found;
      return false;
    }
    if (error != win::error_success) return false;
    target.assign(reply.begin(), reply.end());
    return true;
  }
};

}  // namespace

port_transport& backend_ports() {
  static sim_port_transport transport;
  return transport;
}

}  // namespace kvx::platform
