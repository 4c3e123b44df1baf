#include "listtool/listing.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "adapter/control_packet.h"
#include "adapter/port_probe.h"
#include "adapter/tool_requests.h"

namespace kvx::listtool {
namespace {

using namespace kvx::adapter;

constexpr const char* notice = "Copyright (C) Velmora. All rights reserved.";
constexpr std::size_t model_key_length = 7;

struct model_row {
  const char* parts;
  const char* model;
};

constexpr model_row models[] = {
    {"7RTM215", "KVX2110"},   {"7RTM226", "KVX2140"},   {"7RTM227", "KVX2120"},   {"7RTM228", "KVX2110"},
    {"7RTM239", "KVX5100"},   {"7RTM254", "KVX4120"},   {"7RTM255", "KVX4110"},   {"7RWP310", "KVX4110-E"},
    {"7RWP332", "KVX4120-E"}, {"7RWP333", "KVX4110-E"}, {"7KD6410", "KVX4120-R"}, {"7KD6411", "KVX4110-R"},
};

/// Everything asked of one port, zeroed before the port is probed.
struct port_data {
  char short_name[port_name_size] = {};
  std::uint32_t location = 0;
  std::array<std::uint8_t, versions_length> versions{};
  std::array<std::uint8_t, port_names_length> port_names{};
  std::array<std::uint8_t, hbainfo_size> hbainfo{};
  std::array<std::uint8_t, parts_number_length + 1> parts{};  // always ends in a zero byte
  std::uint16_t vendor_id = 0;
  std::uint16_t device_id = 0;
  std::uint8_t lsi_revision = 0;
  std::uint8_t ec_level = 0;
};

/// The six requests that must all succeed, in their order; false at the first failure.
bool request_facts(const char* device, port_data& d) {
  return tool_pci_location(device, d.location) == 0 && tool_adapter_data(device, DATA_VERSIONS, d.versions) == 0 &&
         tool_adapter_data(device, DATA_PORT_NAMES, d.port_names) == 0 && tool_hbainfo(device, d.hbainfo) == 0 &&
         tool_hbainfo(device, d.hbainfo) == 0 &&
         tool_pkgtype(device, d.vendor_id, d.device_id, d.lsi_revision, d.ec_level) == 0;
}

void print_block(const port_data& d, bool detail, bool has_parts) {
  std::printf("    PCI Vendor id/Device id        : %04X/%04X\n", d.vendor_id, d.device_id);
  if (detail) std::printf("    LSI revision                   : %02X\n", d.lsi_revision);
  if (d.ec_level != 0) {
    std::printf("    EC level                       : %c\n", d.ec_level);
  } else {
    std::printf("    EC level                       : driver not support \n");
  }
  std::printf("    PCI Bus/Device/Function number : %d/%d/%d\n", pci_bus(d.location), pci_device(d.location),
              pci_function(d.location));
  const char* parts = reinterpret_cast<const char*>(d.parts.data());
  if (has_parts) {
    std::printf("    Parts Number                   : %s\n", parts);
    std::printf("    Model Name                     : %s\n", model_name(parts));
  } else {
    std::printf("    Parts Number                   : driver not support \n");
    std::printf("    Model Name                     : driver not support \n");
  }
  std::printf("    Driver version                 : %s\n", driver_version_text(d.versions).c_str());
  std::printf("    Firmware version               : %s\n", firmware_version_text(d.versions).c_str());
  std::printf("    World wide port name           : %s\n",
              format_world_wide_name(world_wide_port_name(d.port_names)).c_str());
  std::printf("    World wide node name           : %s\n",
              format_world_wide_name(world_wide_node_name(d.port_names)).c_str());
  std::printf("    Connection type                : %s\n", connection_type_text(d.hbainfo[0]));
  std::printf("    Link speed                     : %s\n", link_speed_text(d.hbainfo[1]).c_str());
}

void list_port(int port, bool detail) {
  port_data d;
  if (probe_scsi_port(port, d.short_name, name_form::short_) != 0) return;
  const std::string device = std::string("\\\\.\\") + d.short_name;
  if (tool_port_present(device.c_str()) != 0) return;

  std::printf("\n");
  std::printf("--- Device symbolic name           : %s\n", d.short_name);
  if (detail) {
    std::string object_name;
    if (query_device_object_name(d.short_name, object_name) == 0) {
      std::printf("    Device object name             : %s\n", object_name.c_str());
    }
  }
  if (!request_facts(device.c_str(), d)) return;
  const bool has_parts = tool_adapter_data(device.c_str(), DATA_PARTS_NUMBER,
                                           std::span<std::uint8_t>(d.parts).first(parts_number_length)) == 0;
  print_block(d, detail, has_parts);
}

}  // namespace

const char* model_name(const char* parts_number) {
  for (const model_row& row : models) {
    if (std::strncmp(parts_number, row.parts, model_key_length) == 0) return row.model;
  }
  return "Unknown Model";
}

const char* connection_type_text(std::uint8_t type) {
  switch (type) {
    case 1:
      return "Point to Point";
    case 2:
      return "Point to Point (fablic)";
    case 3:
      return "FC-AL";
    case 4:
      return "FC-AL (fablic)";
    default:
      return "-";
  }
}

std::string link_speed_text(std::uint8_t speed) {
  if (speed == 0) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%x Gbps", speed);
  return text;
}

int run_listing(int argc, const char* const* argv) {
  std::printf("kvxls ver. %s  %s  \n", kvxls_version, notice);
  const bool detail = argc == 2 && std::strcmp(argv[1], "-DN") == 0;
  for (int port = 0; port <= max_scsi_port; ++port) list_port(port, detail);
  std::printf("\n-------- end of list --------\n");
  std::fflush(stdout);
  return 0;
}

}  // namespace kvx::listtool
