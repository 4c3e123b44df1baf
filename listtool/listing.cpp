#include "listtool/listing.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "adapter/control_packet.h"
#include "adapter/port_probe.h"
#include "adapter/single_requests.h"
#include "json/json_writer.h"

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

bool is_json_switch(const char* word) {
  std::string w = word;
  for (char& c : w) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return w == "-json" || w == "/json";
}

void failure_object(json::writer& w, const tool_failure& f) {
  w.begin_object();
  w.member("request", f.request);
  w.member("call", f.call);
  w.member("device", f.device);
  w.member("returned_length", f.returned);
  w.member("error_code", f.code);
  w.member("error_text", f.text);
  w.end_object();
}

std::string hex16(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%08x%08x", static_cast<unsigned>(value >> 32),
                static_cast<unsigned>(value & 0xFFFFFFFFu));
  return text;
}

/// One adapter's object: every field of the listing and of the detail mode,
/// null where the listing would stop, and the failed requests.
void port_object(json::writer& w, int port, const port_data& d) {
  const std::string device = std::string("\\\\.\\") + d.short_name;
  w.begin_object();
  w.member("port", port);
  w.member("symbolic_name", std::string(d.short_name));
  std::string object_name;
  w.member("device_object_name", query_device_object_name(d.short_name, object_name) == 0
                                     ? std::optional<std::string>(object_name)
                                     : std::nullopt);
  std::vector<tool_failure> failures;
  tool_failure f;
  port_data facts = d;
  const bool complete = [&] {
    if (tool_pci_location(device.c_str(), facts.location, &f) != 0) return false;
    if (tool_adapter_data(device.c_str(), DATA_VERSIONS, facts.versions, &f) != 0) return false;
    if (tool_adapter_data(device.c_str(), DATA_PORT_NAMES, facts.port_names, &f) != 0) return false;
    if (tool_hbainfo(device.c_str(), facts.hbainfo, &f) != 0) return false;
    if (tool_hbainfo(device.c_str(), facts.hbainfo, &f) != 0) return false;
    return tool_pkgtype(device.c_str(), facts.vendor_id, facts.device_id, facts.lsi_revision, facts.ec_level, &f) == 0;
  }();
  if (!complete) failures.push_back(f);
  bool has_parts = false;
  if (complete) {
    tool_failure parts_failure;
    has_parts = tool_adapter_data(device.c_str(), DATA_PARTS_NUMBER,
                                  std::span<std::uint8_t>(facts.parts).first(parts_number_length), &parts_failure) == 0;
    if (!has_parts) failures.push_back(parts_failure);
  }
  w.member("complete", complete);
  if (complete) {
    const char* parts = reinterpret_cast<const char*>(facts.parts.data());
    w.member("pci_vendor_id", facts.vendor_id);
    w.member("pci_device_id", facts.device_id);
    w.member("lsi_revision", facts.lsi_revision);
    w.member("ec_level", facts.ec_level != 0
                             ? std::optional<std::string>(std::string(1, static_cast<char>(facts.ec_level)))
                             : std::nullopt);
    w.member("pci_bus", pci_bus(facts.location));
    w.member("pci_device", pci_device(facts.location));
    w.member("pci_function", pci_function(facts.location));
    w.member("parts_number", has_parts ? std::optional<std::string>(parts) : std::nullopt);
    w.member("model_name", has_parts ? std::optional<std::string>(model_name(parts)) : std::nullopt);
    w.member("driver_version", driver_version_text(facts.versions));
    w.member("firmware_version", firmware_version_text(facts.versions));
    w.member("world_wide_port_name", hex16(world_wide_port_name(facts.port_names)));
    w.member("world_wide_node_name", hex16(world_wide_node_name(facts.port_names)));
    w.member("connection_type", facts.hbainfo[0]);
    w.member("connection_type_text", connection_type_text(facts.hbainfo[0]));
    w.member("link_speed", facts.hbainfo[1]);
    w.member("link_speed_text", link_speed_text(facts.hbainfo[1]));
  } else {
    for (const char* name :
         {"pci_vendor_id", "pci_device_id", "lsi_revision", "ec_level", "pci_bus", "pci_device", "pci_function",
          "parts_number", "model_name", "driver_version", "firmware_version", "world_wide_port_name",
          "world_wide_node_name", "connection_type", "connection_type_text", "link_speed", "link_speed_text"}) {
      w.null_member(name);
    }
  }
  w.key("failed_requests");
  w.begin_array();
  for (const tool_failure& failure : failures) failure_object(w, failure);
  w.end_array();
  w.end_object();
}

int run_json_listing() {
  std::string out;
  json::writer w(out, 2);
  w.begin_object();
  w.member("program", "kvxls");
  w.member("version", kvxls_version);
  w.key("adapters");
  w.begin_array();
  for (int port = 0; port <= max_scsi_port; ++port) {
    port_data d;
    if (probe_scsi_port(port, d.short_name, name_form::short_) != 0) continue;
    const std::string device = std::string("\\\\.\\") + d.short_name;
    if (tool_port_present(device.c_str()) != 0) continue;
    port_object(w, port, d);
  }
  w.end_array();
  w.end_object();
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  return 0;
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
  if (argc == 2 && is_json_switch(argv[1])) return run_json_listing();
  std::printf("kvxls ver. %s  %s  \n", kvxls_version, notice);
  const bool detail = argc == 2 && std::strcmp(argv[1], "-DN") == 0;
  for (int port = 0; port <= max_scsi_port; ++port) list_port(port, detail);
  std::printf("\n-------- end of list --------\n");
  std::fflush(stdout);
  return 0;
}

}  // namespace kvx::listtool
