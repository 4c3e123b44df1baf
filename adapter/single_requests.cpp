#include "adapter/single_requests.h"

#include <algorithm>
#include <string>

#include "adapter/control_packet.h"
#include "adapter/port_access.h"

namespace kvx::adapter {
namespace {

constexpr std::size_t message_size = 256;

/// What an exchange failure reports: nothing (null), or a message with the
/// returned count.
using failure_text = void (*)(char* text, std::size_t size, std::uint32_t returned, int type);

/// The common single attempt: open shared (failure reported as CreateFile),
/// allocate the packet, build it, one exchange. 0 with `packet` holding the
/// reply, or -1 after the report the row of the operation asks for.
/// Keeps a failure for a caller that asked for it.
void keep_failure(tool_failure* failure, const char* request, const char* call, const std::string& device,
                  std::uint32_t returned, std::uint32_t code) {
  if (failure == nullptr) return;
  failure->request = request;
  failure->call = call;
  failure->device = device;
  failure->returned = returned;
  failure->code = code;
  failure->text.reset();
  std::string text;
  std::uint32_t lookup_error = 0;
  if (code != 0 && platform::system_message_text(code, text, lookup_error)) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    failure->text = text;
  }
}

int single_attempt(const char* path, packet_bytes& packet, std::uint32_t size, int (*build)(packet_bytes&, int),
                   int type, failure_text on_failure, const char* request, tool_failure* failure) {
  const std::string with_colon = device_path(path);
  std::uint32_t error = 0;
  port_handle device = open_port_device(with_colon.c_str(), platform::share_mode::shared, error);
  if (!device) {
    if (failure != nullptr) {
      keep_failure(failure, request, "CreateFile", with_colon, 0, error);
      return -1;
    }
    char text[message_size];
    std::snprintf(text, sizeof text, "CreateFile(%s) error.\n", with_colon.c_str());
    print_system_error(text, error);
    return -1;
  }
  if (!allocate_packet(packet, size) || build(packet, type) != 0) {
    keep_failure(failure, request, "allocate", with_colon, 0, 0);
    return -1;
  }
  std::uint32_t returned = 0;
  if (exchange_packet(*device, packet, error, returned) != 0) {
    if (failure != nullptr) {
      keep_failure(failure, request, "DeviceIoControl", with_colon, returned, error);
    } else if (on_failure != nullptr) {
      char text[message_size];
      on_failure(text, sizeof text, returned, type);
      print_system_error(text, error);
    }
    return -1;
  }
  return 0;
}

const char* adapter_data_request(int type) {
  switch (type) {
    case DATA_VERSIONS:
      return "DATA_VERSIONS";
    case DATA_PORT_NAMES:
      return "DATA_PORT_NAMES";
    case DATA_PARTS_NUMBER:
      return "DATA_PARTS_NUMBER";
    default:
      return "CC_ADAPTER_DATA";
  }
}

int build_for_sub_command(packet_bytes& packet, int sub_command) {
  return build_command_packet(packet, static_cast<std::uint8_t>(sub_command));
}

int build_for_type(packet_bytes& packet, int type) { return build_adapter_data_packet(packet, type); }

void adapter_data_failure(char* text, std::size_t size, std::uint32_t returned, int type) {
  std::snprintf(text, size, "DeviceIoControl(%d) error. RtnLen=%d\n", type, static_cast<int>(returned));
}

void hbainfo_failure(char* text, std::size_t size, std::uint32_t returned, int) {
  std::snprintf(text, size, "DeviceIoControl(HBAINFO) error. RtnLen=%d\n", static_cast<int>(returned));
}

void pkgtype_failure(char* text, std::size_t size, std::uint32_t returned, int) {
  std::snprintf(text, size, "DeviceIoControl(PkgType) error. RtnLen=%d\n", static_cast<int>(returned));
}

}  // namespace

int tool_port_present(const char* path) {
  std::uint32_t error = 0;
  port_handle device = open_port_device(device_path(path).c_str(), platform::share_mode::shared, error);
  return device ? 0 : -1;
}

int tool_pci_location(const char* path, std::uint32_t& location, tool_failure* failure) {
  packet_bytes packet;
  if (single_attempt(path, packet, command_packet_size(PCI_LOCATION), build_for_sub_command, PCI_LOCATION, nullptr,
                     "PCI_LOCATION", failure) != 0) {
    return -1;
  }
  if (read_pci_location(packet, location) != 0) {
    keep_failure(failure, "PCI_LOCATION", "reply", device_path(path), 0, 0);
    return -1;
  }
  return 0;
}

int tool_adapter_data(const char* path, int type, std::span<std::uint8_t> data, tool_failure* failure) {
  const std::uint32_t length = adapter_data_length(type);
  if (length == 0 || data.size() < length) return -1;
  packet_bytes packet;
  if (single_attempt(path, packet, adapter_data_packet_size(type), build_for_type, type,
                     type == DATA_PARTS_NUMBER ? nullptr : adapter_data_failure, adapter_data_request(type),
                     failure) != 0) {
    return -1;
  }
  std::span<const std::uint8_t> area = adapter_data_area(packet, type);
  std::copy(area.begin(), area.end(), data.begin());
  return 0;
}

int tool_hbainfo(const char* path, std::span<std::uint8_t> info, tool_failure* failure) {
  if (info.size() < hbainfo_size) return -1;
  packet_bytes packet;
  if (single_attempt(path, packet, command_packet_size(HBAINFO), build_for_sub_command, HBAINFO, hbainfo_failure,
                     "HBAINFO", failure) != 0) {
    return -1;
  }
  std::span<const std::uint8_t> payload = packet_payload(packet).first(hbainfo_size);
  std::copy(payload.begin(), payload.end(), info.begin());
  return 0;
}

int tool_pkgtype(const char* path, std::uint16_t& vendor_id, std::uint16_t& device_id, std::uint8_t& lsi_revision,
                 std::uint8_t& ec_level, tool_failure* failure) {
  packet_bytes packet;
  if (single_attempt(path, packet, command_packet_size(PkgType), build_for_sub_command, PkgType, pkgtype_failure,
                     "PkgType", failure) != 0) {
    return -1;
  }
  std::span<const std::uint8_t> payload = packet_payload(packet);
  vendor_id = pci_vendor_id;
  device_id = package_device_id(payload[pkgtype_package_offset]);
  lsi_revision = payload[pkgtype_lsi_revision_offset];
  ec_level = payload[pkgtype_ec_level_offset];
  return 0;
}

void print_system_error(const char* text, std::uint32_t code, std::FILE* stream) {
  std::string system_text;
  std::uint32_t lookup_error = 0;
  if (platform::system_message_text(code, system_text, lookup_error)) {
    std::fprintf(stream, "%s: %s", text, system_text.c_str());
  } else {
    std::fprintf(stream, "%s: Error %ld.\n", text, static_cast<long>(lookup_error));
  }
}

}  // namespace kvx::adapter
