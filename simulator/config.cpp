#include "simulator/config.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "platform/win_codes.h"

namespace kvx::simulator {
namespace {

constexpr int max_port = 127;
constexpr std::size_t max_driver_version = 255;    // bytes 328..583 with the zero byte
constexpr std::size_t max_firmware_version = 151;  // bytes 584..735 with the zero byte
constexpr std::size_t max_parts_number = 11;
constexpr std::size_t max_driver_name = 64;
constexpr std::size_t max_device_object = 200;
constexpr std::uint32_t default_refusal = win::error_invalid_parameter;

struct kind_name {
  const char* name;
  request_kind kind;
};

constexpr kind_name kind_names[] = {
    {"pci_location", request_kind::pci_location}, {"errlog", request_kind::errlog},
    {"slot_release", request_kind::slot_release}, {"hbainfo", request_kind::hbainfo},
    {"pkgtype", request_kind::pkgtype},           {"versions", request_kind::versions},
    {"port_names", request_kind::port_names},     {"parts_number", request_kind::parts_number},
};

std::string trim(const std::string& text) {
  std::size_t b = 0;
  std::size_t e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b])) != 0) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1])) != 0) --e;
  return text.substr(b, e - b);
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

/// One [adapter] section while it is read: what was given, and where.
struct section {
  adapter_config adapter;
  int header_line = 0;
  bool pci_location_given = false;
  bool wwnn_given = false;
  bool wwpn_given = false;
  std::set<std::string> keys;
};

void apply_defaults(section& s) {
  adapter_config& a = s.adapter;
  const auto port = static_cast<std::uint32_t>(a.port);
  if (!s.pci_location_given) a.pci_location = port << 8;
  if (!s.wwnn_given) a.wwnn = 0x2000000000000000ull + (std::uint64_t{port} << 8);
  if (!s.wwpn_given) a.wwpn = a.wwnn + 1;
  if (a.device_object.empty()) a.device_object = "\\Device\\KvxPort" + std::to_string(a.port);
}

bool parse_byte(const std::string& value, std::uint8_t& out) {
  std::uint64_t n = 0;
  if (!parse_number(value, 0xFF, n)) return false;
  out = static_cast<std::uint8_t>(n);
  return true;
}

bool parse_text(const std::string& value, std::size_t max, std::string& out) {
  if (value.size() > max) return false;
  out = value;
  return true;
}

bool parse_refusals(const std::string& value, std::vector<refused_request>& out) {
  std::stringstream list(value);
  std::string item;
  while (std::getline(list, item, ',')) {
    item = trim(item);
    std::uint32_t error = default_refusal;
    if (const std::size_t colon = item.find(':'); colon != std::string::npos) {
      std::uint64_t n = 0;
      if (!parse_number(trim(item.substr(colon + 1)), 0xFFFFFFFF, n) || n == 0) return false;
      error = static_cast<std::uint32_t>(n);
      item = trim(item.substr(0, colon));
    }
    bool known = false;
    for (const kind_name& k : kind_names) {
      if (item == k.name) {
        out.push_back({k.kind, error});
        known = true;
      }
    }
    if (!known) return false;
  }
  return true;
}

/// Applies one key; an empty result is success, else the message.
std::string apply_key(section& s, const std::string& key, const std::string& value) {
  adapter_config& a = s.adapter;
  std::uint64_t n = 0;
  if (key == "port") {
    if (!parse_number(value, max_port, n)) return "port must be a number from 0 to 127";
    a.port = static_cast<int>(n);
  } else if (key == "driver") {
    if (value.empty() || !parse_text(value, max_driver_name, a.driver)) return "driver must be 1 to 64 characters";
  } else if (key == "pci_location") {
    if (!parse_number(value, 0xFFFFFFFF, n)) return "pci_location must be a 32-bit number (e.g. 0x0208)";
    a.pci_location = static_cast<std::uint32_t>(n);
    s.pci_location_given = true;
  } else if (key == "driver_version") {
    if (!parse_text(value, max_driver_version, a.driver_version)) return "driver_version is longer than 255 characters";
  } else if (key == "firmware_version") {
    if (value == "unsupported") {
      a.refused.push_back({request_kind::versions, default_refusal});
    } else if (!parse_text(value, max_firmware_version, a.firmware_version)) {
      return "firmware_version is longer than 151 characters";
    }
  } else if (key == "wwnn" || key == "wwpn") {
    if (!parse_number(value, UINT64_MAX, n)) return key + " must be a 64-bit number (e.g. 0x200000000000a000)";
    (key == "wwnn" ? a.wwnn : a.wwpn) = n;
    (key == "wwnn" ? s.wwnn_given : s.wwpn_given) = true;
  } else if (key == "connection_type" || key == "link_speed" || key == "package_type" || key == "lsi_revision") {
    std::uint8_t& field = key == "connection_type" ? a.connection_type
                          : key == "link_speed"    ? a.link_speed
                          : key == "package_type"  ? a.package_type
                                                   : a.lsi_revision;
    if (!parse_byte(value, field)) return key + " must be a number from 0 to 255 (0xff)";
  } else if (key == "ec_level") {
    if (value == "none") {
      a.ec_level = 0;
    } else if (value.size() == 1) {
      a.ec_level = static_cast<std::uint8_t>(value[0]);
    } else {
      return "ec_level must be one character, or none";
    }
  } else if (key == "parts_number") {
    if (value == "unsupported") {
      a.parts_number.reset();
    } else if (value.size() > max_parts_number) {
      return "parts_number is longer than 11 characters";
    } else {
      a.parts_number = value;
    }
  } else if (key == "device_object") {
    if (value.empty() || !parse_text(value, max_device_object, a.device_object)) {
      return "device_object must be 1 to 200 characters";
    }
  } else if (key == "fail") {
    if (!parse_refusals(value, a.refused)) {
      return "fail takes a list of pci_location, errlog, slot_release, hbainfo, pkgtype, versions, port_names, "
             "parts_number, each optionally with :ERROR";
    }
  } else {
    return "unknown key '" + key + "'";
  }
  return {};
}

std::string at_line(int line, const std::string& message) { return "line " + std::to_string(line) + ": " + message; }

}  // namespace

std::uint32_t refusal_error(const adapter_config& adapter, request_kind kind) {
  std::uint32_t error = 0;
  for (const refused_request& r : adapter.refused) {
    if (r.kind == kind) error = r.error;
  }
  return error;
}

bool parse_number(const std::string& text, std::uint64_t max, std::uint64_t& out) {
  if (text.empty()) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::size_t start = hex ? 2 : 0;
  const std::uint64_t base = hex ? 16 : 10;
  std::uint64_t value = 0;
  for (std::size_t i = start; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::uint64_t digit = 0;
    if (std::isdigit(c) != 0) {
      digit = c - '0';
    } else if (hex && std::isxdigit(c) != 0) {
      digit = static_cast<std::uint64_t>(std::tolower(c) - 'a' + 10);
    } else {
      return false;
    }
    if (value > (max - digit) / base) return false;
    value = value * base + digit;
  }
  out = value;
  return true;
}

int parse_config(const std::string& text, std::vector<adapter_config>& out, std::string& error) {
  std::vector<adapter_config> adapters;
  std::set<int> ports;
  std::optional<section> current;
  auto finish = [&]() -> bool {
    if (!current) return true;
    if (current->adapter.port < 0) {
      error = at_line(current->header_line, "[adapter] section without a port");
      return false;
    }
    if (!ports.insert(current->adapter.port).second) {
      error = at_line(current->header_line, "port " + std::to_string(current->adapter.port) + " is configured twice");
      return false;
    }
    apply_defaults(*current);
    adapters.push_back(current->adapter);
    current.reset();
    return true;
  };

  std::istringstream lines(text);
  std::string raw;
  int number = 0;
  while (std::getline(lines, raw)) {
    ++number;
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']' || lower(trim(line.substr(1, line.size() - 2))) != "adapter") {
        error = at_line(number, "unknown section " + line + " (only [adapter] sections exist)");
        return 1;
      }
      if (!finish()) return 1;
      current.emplace();
      current->header_line = number;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      error = at_line(number, "expected 'key = value' or '[adapter]'");
      return 1;
    }
    if (!current) {
      error = at_line(number, "a key before the first [adapter] section");
      return 1;
    }
    const std::string key = lower(trim(line.substr(0, equals)));
    const std::string value = trim(line.substr(equals + 1));
    if (!current->keys.insert(key).second) {
      error = at_line(number, "'" + key + "' is given twice in this section");
      return 1;
    }
    if (std::string message = apply_key(*current, key, value); !message.empty()) {
      error = at_line(number, message);
      return 1;
    }
  }
  if (!finish()) return 1;
  out = std::move(adapters);
  return 0;
}

int load_config(const std::string& path, std::vector<adapter_config>& out, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = path + ": cannot be read";
    return 1;
  }
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (text.find('\0') != std::string::npos) {
    error = path + ": not a text file";
    return 1;
  }
  if (parse_config(text, out, error) != 0) {
    error = path + ": " + error;
    return 1;
  }
  return 0;
}

}  // namespace kvx::simulator
