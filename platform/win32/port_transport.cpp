// The port devices on Windows: CreateFileA on the SCSI port device,
// DeviceIoControl, QueryDosDeviceA and FormatMessageA themselves, with every
// handle and system buffer in an owner that frees it on every path.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <memory>
#include <vector>

#include "platform/host.h"
#include "platform/port_device.h"
#include "platform/win_codes.h"

namespace kvx::platform {
namespace {

/// Enough for any device's target list; the caller applies its own limit.
constexpr DWORD dos_device_buffer = 4096;

class win32_port_device final : public port_device {
 public:
  explicit win32_port_device(HANDLE handle) : handle_(handle) {}
  ~win32_port_device() override { ::CloseHandle(handle_); }
  win32_port_device(const win32_port_device&) = delete;
  win32_port_device& operator=(const win32_port_device&) = delete;

  std::uint32_t io_control(std::uint32_t code, std::uint8_t* buffer, std::uint32_t size,
                           std::uint32_t& returned) override {
    DWORD count = 0;
    const BOOL ok = ::DeviceIoControl(handle_, code, buffer, size, buffer, size, &count, nullptr);
    // GetLastError is read before anything else can change it.
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    returned = count;
    return ok ? win::error_success : static_cast<std::uint32_t>(error);
  }

 private:
  HANDLE handle_;
};

class win32_port_transport final : public port_transport {
 public:
  std::uint32_t open(const char* path, share_mode mode, std::unique_ptr<port_device>& out) override {
    const DWORD share = mode == share_mode::shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    const DWORD flags = mode == share_mode::shared ? 0 : FILE_ATTRIBUTE_NORMAL;
    HANDLE handle = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return static_cast<std::uint32_t>(::GetLastError());
    out = std::make_unique<win32_port_device>(handle);
    return win::error_success;
  }

  bool query_dos_device(const char* dos_name, std::string& target, std::uint32_t& error) override {
    std::vector<char> buffer(dos_device_buffer, '\0');
    const DWORD n = ::QueryDosDeviceA(dos_name, buffer.data(), dos_device_buffer);
    if (n == 0) {
      error = static_cast<std::uint32_t>(::GetLastError());
      return false;
    }
    target = buffer.data();  // the first string of the list
    return true;
  }
};

struct local_free {
  void operator()(char* p) const noexcept { ::LocalFree(p); }
};

}  // namespace

port_transport& backend_ports() {
  static win32_port_transport transport;
  return transport;
}

bool system_message_text(std::uint32_t code, std::string& text, std::uint32_t& lookup_error) {
  char* raw = nullptr;
  const DWORD n =
      ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                       nullptr, code, 0x400, reinterpret_cast<char*>(&raw), 0, nullptr);
  if (n == 0 || raw == nullptr) {
    lookup_error = static_cast<std::uint32_t>(::GetLastError());
    return false;
  }
  std::unique_ptr<char, local_free> owned(raw);
  text.assign(owned.get(), n);
  return true;
}

}  // namespace kvx::platform
