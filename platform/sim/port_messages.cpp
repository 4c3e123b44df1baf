// The simulated host's system message table: the texts FormatMessageA gives
// for the error codes that the port devices and the registry can produce.
// Like the system's texts, each carries its own line end.
#include <cstdint>
#include <string>

#include "platform/port_device.h"

namespace kvx::platform {
namespace {

/// What FormatMessageA leaves in GetLastError when a code has no text.
constexpr std::uint32_t error_mr_mid_not_found = 317;

struct message {
  std::uint32_t code;
  const char* text;
};

constexpr message messages[] = {
    {0, "The operation completed successfully.\n"},
    {2, "The system cannot find the file specified.\n"},
    {3, "The system cannot find the path specified.\n"},
    {5, "Access is denied.\n"},
    {6, "The handle is invalid.\n"},
    {8, "Not enough memory resources are available to process this command.\n"},
    {31, "A device attached to the system is not functioning.\n"},
    {32, "The process cannot access the file because it is being used by another process.\n"},
    {87, "The parameter is incorrect.\n"},
    {122, "The data area passed to a system call is too small.\n"},
    {170, "The requested resource is in use.\n"},
    {234, "More data is available.\n"},
    {1117, "The request could not be performed because of an I/O device error.\n"},
};

}  // namespace

bool system_message_text(std::uint32_t code, std::string& text, std::uint32_t& lookup_error) {
  for (const message& m : messages) {
    if (m.code == code) {
      text = m.text;
      return true;
    }
  }
  lookup_error = error_mr_mid_not_found;
  return false;
}

}  // namespace kvx::platform
