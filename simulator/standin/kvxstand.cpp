// kvxstand: configures and drives the stand-in driver kvxstand.sys under Wine
// from the driver simulator's configuration file, with the simulator's
// commands where the stand-in can do them. Test equipment: never shipped.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "adapter/control_packet.h"
#include "platform/port_device.h"
#include "simulator/config.h"
#include "simulator/control.h"
#include "simulator/driver.h"
#include "simulator/standin/answers.h"
#include "simulator/standin/standin_protocol.h"

namespace {

using namespace kvx;

const char* const usage =
    "usage: kvxstand COMMAND [options]\n"
    "  kvxstand start --config FILE   serve the adapters of FILE (replacing any served before)\n"
    "  kvxstand stop                  serve none: the devices and port map entries go\n"
    "  kvxstand fill --port N --slot S [--data HEX]\n"
    "                                 occupy slot S without a record\n"
    "  kvxstand busy --port N --count K\n"
    "                                 answer the next K exchanges with ERROR_BUSY\n"
    "  kvxstand fail --port N --requests KIND[:ERROR],...\n"
    "                                 refuse those requests from now on (kinds as the fail key)\n"
    "  kvxstand unplug --port N       make the port's device vanish (its port map entry stays)\n"
    "  kvxstand plug --port N         bring it back\n"
    "  kvxstand status                each adapter's slots and open handles\n"
    "  kvxstand hold --port N --until FILE\n"
    "                                 hold the port's device open, shared, until FILE exists\n"
    "The driver kvxstand.sys must be running (sc start kvxstand).\n";

struct handle_closer {
  void operator()(HANDLE h) const { ::CloseHandle(h); }
};
using unique_handle = std::unique_ptr<std::remove_pointer_t<HANDLE>, handle_closer>;

std::string port_map_key(int port) { return "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port " + std::to_string(port); }

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "kvxstand: %s\n", message.c_str());
  if (status == 2) std::fputs(usage, stderr);
  return status;
}

unique_handle open_driver() {
  HANDLE h = ::CreateFileA(KVXSTAND_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
  return unique_handle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

/// One request to the driver; the Win32 error, 0 on success.
template <typename In, typename Out = char>
DWORD call(HANDLE driver, DWORD code, const In& in, Out* out = nullptr) {
  DWORD returned = 0;
  std::vector<unsigned char> buffer(sizeof(In) > sizeof(Out) ? sizeof(In) : sizeof(Out));
  std::memcpy(buffer.data(), &in, sizeof(In));
  if (!::DeviceIoControl(driver, code, buffer.data(), sizeof(In), buffer.data(),
                         out != nullptr ? static_cast<DWORD>(sizeof(Out)) : 0, &returned, nullptr)) {
    return ::GetLastError();
  }
  if (out != nullptr) std::memcpy(out, buffer.data(), sizeof(Out));
  return 0;
}

bool port_status(HANDLE driver, int port, kvxstand_status& status) {
  const kvxstand_port_value which{static_cast<unsigned>(port), 0};
  return call(driver, KVXSTAND_STATUS, which, &status) == 0 && status.present != 0;
}

/// Every port the driver serves goes, with its port map entry.
int remove_all(HANDLE driver) {
  for (int port = 0; port < KVXSTAND_MAX_PORTS; ++port) {
    kvxstand_status status{};
    if (port_status(driver, port, status)) (void)::RegDeleteKeyA(HKEY_LOCAL_MACHINE, port_map_key(port).c_str());
  }
  const int none = 0;
  if (const DWORD e = call(driver, KVXSTAND_REMOVE_ALL, none); e != 0) {
    return fail(1, "the driver does not remove its ports (error " + std::to_string(e) + ")");
  }
  return 0;
}

/// HARDWARE is volatile: so must its keys be.
int write_port_map(const simulator::adapter_config& adapter) {
  HKEY raw = nullptr;
  const std::string path = port_map_key(adapter.port);
  LONG rc = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr,
                              &raw, nullptr);
  if (rc == ERROR_SUCCESS) {
    rc = ::RegSetValueExA(raw, "Driver", 0, REG_SZ, reinterpret_cast<const BYTE*>(adapter.driver.c_str()),
                          static_cast<DWORD>(adapter.driver.size() + 1));
    ::RegCloseKey(raw);
  }
  if (rc != ERROR_SUCCESS)
    return fail(1, "cannot write HKEY_LOCAL_MACHINE\\" + path + " (error " + std::to_string(rc) + ")");
  return 0;
}

int send_answers(HANDLE driver, const std::vector<kvxstand_answer>& answers) {
  for (const kvxstand_answer& a : answers) {
    if (const DWORD e = call(driver, KVXSTAND_SET_ANSWER, a); e != 0) {
      return fail(
          1, "the driver refuses an answer for port " + std::to_string(a.port) + " (error " + std::to_string(e) + ")");
    }
  }
  return 0;
}

int start(HANDLE driver, const std::string& config_path) {
  std::vector<simulator::adapter_config> adapters;
  std::string error;
  if (simulator::load_config(config_path, adapters, error) != 0) return fail(1, error);
  std::vector<std::vector<kvxstand_answer>> answers(adapters.size());
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    if (standin::prepare_answers(adapters[i], answers[i], error) != 0) return fail(1, config_path + ": " + error);
  }
  if (const int rc = remove_all(driver); rc != 0) return rc;
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    const simulator::adapter_config& a = adapters[i];
    auto setup = std::make_unique<kvxstand_port_setup>();
    setup->port = static_cast<unsigned>(a.port);
    setup->location = a.pci_location;
    for (std::size_t k = 0; k < a.device_object.size() && k + 1 < KVXSTAND_MAX_NAME; ++k) {
      setup->device_name[k] = static_cast<unsigned char>(a.device_object[k]);
    }
    if (const DWORD e = call(driver, KVXSTAND_ADD_PORT, *setup); e != 0) {
      return fail(1, "the driver cannot make the device " + a.device_object + " (error " + std::to_string(e) + ")");
    }
    if (const int rc = send_answers(driver, answers[i]); rc != 0) return rc;
    if (const int rc = write_port_map(a); rc != 0) return rc;
  }
  std::printf("kvxstand: serving %zu adapters\n", adapters.size());
  return 0;
}

int status(HANDLE driver) {
  for (int port = 0; port < KVXSTAND_MAX_PORTS; ++port) {
    kvxstand_status s{};
    if (!port_status(driver, port, s)) continue;
    simulator::adapter_state a;
    a.config.port = port;
    a.config.pci_location = s.location;
    a.plugged = s.plugged != 0;
    a.busy_left = s.busy_left;
    a.exchanges = s.exchanges;
    a.occupied = static_cast<std::uint16_t>(s.occupied);
    std::string line = simulator::status_line(a, static_cast<int>(s.shared), static_cast<int>(s.exclusive));
    line.insert(line.size() - 1, ", refused opens: " + std::to_string(s.refused_opens));
    std::fputs(line.c_str(), stdout);
  }
  return 0;
}

/// fail --port N --requests LIST: the list as the configuration's fail key reads it.
int refuse(HANDLE driver, const std::vector<std::string>& words) {
  std::string port;
  std::string list;
  for (std::size_t i = 1; i + 1 < words.size(); i += 2) {
    if (words[i] == "--port") port = words[i + 1];
    if (words[i] == "--requests") list = words[i + 1];
  }
  std::vector<simulator::adapter_config> parsed;
  std::string error;
  if (words.size() != 5 || port.empty() || list.empty() ||
      simulator::parse_config("[adapter]\nport = " + port + "\nfail = " + list + "\n", parsed, error) != 0) {
    return fail(2, "fail takes --port N --requests KIND[:ERROR],...");
  }
  kvxstand_status s{};
  if (!port_status(driver, parsed[0].port, s)) return fail(1, "no adapter is served on port " + port);
  std::vector<kvxstand_answer> answers;
  if (standin::refusal_answers(parsed[0].port, parsed[0].refused, answers, error) != 0) return fail(1, error);
  return send_answers(driver, answers);
}

/// hold --port N --until FILE: another program's shared handle, as kvxls
/// holds one, for as long as a test needs it.
int hold(HANDLE driver, const std::vector<std::string>& words) {
  if (words.size() != 5 || words[1] != "--port" || words[3] != "--until") {
    return fail(2, "hold takes --port N --until FILE");
  }
  std::uint64_t port = 0;
  kvxstand_status s{};
  if (!simulator::parse_number(words[2], KVXSTAND_MAX_PORTS - 1, port))
    return fail(2, "--port takes a port number from 0 to 127");
  if (!port_status(driver, static_cast<int>(port), s)) return fail(1, "no adapter is served on port " + words[2]);
  const std::string path = "\\\\.\\scsi" + std::to_string(port) + ":";
  HANDLE raw = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (raw == INVALID_HANDLE_VALUE)
    return fail(1, path + " does not open (error " + std::to_string(::GetLastError()) + ")");
  const unique_handle device(raw);
  // One request: once it is answered the driver has the open counted.
  std::vector<std::uint8_t> packet(adapter::command_packet_size(adapter::PCI_LOCATION));
  DWORD returned = 0;
  if (adapter::build_command_packet(packet, adapter::PCI_LOCATION) != 0 ||
      !::DeviceIoControl(device.get(), platform::ioctl_scsi_miniport, packet.data(), static_cast<DWORD>(packet.size()),
                         packet.data(), static_cast<DWORD>(packet.size()), &returned, nullptr)) {
    return fail(1, "the held device does not answer (error " + std::to_string(::GetLastError()) + ")");
  }
  std::printf("kvxstand: holding %s\n", path.c_str());
  std::fflush(stdout);
  while (::GetFileAttributesA(words[4].c_str()) == INVALID_FILE_ATTRIBUTES) ::Sleep(100);
  return 0;
}

int control(HANDLE driver, const std::vector<std::string>& words) {
  simulator::control_command command;
  std::string error;
  if (simulator::parse_control(words, command, error) != 0 || command.verb == simulator::control_verb::inject ||
      command.verb == simulator::control_verb::stop || command.verb == simulator::control_verb::released) {
    return fail(2, error.empty() ? words[0] + " is not a command of the stand-in" : error);
  }
  if (command.verb == simulator::control_verb::status) return status(driver);
  kvxstand_status s{};
  if (!port_status(driver, command.port, s))
    return fail(1, "no adapter is served on port " + std::to_string(command.port));
  DWORD e = 0;
  switch (command.verb) {
    case simulator::control_verb::fill: {
      auto fill = std::make_unique<kvxstand_fill>();
      fill->port = static_cast<unsigned>(command.port);
      fill->slot = static_cast<unsigned>(command.slot);
      // The simulator's default data: byte i = slot + i.
      const auto pattern = simulator::default_detail_data(0, command.slot);
      if (command.data) {
        std::copy(command.data->begin(), command.data->end(), fill->data);
      } else {
        std::copy(pattern.begin(), pattern.end(), fill->data);
      }
      e = call(driver, KVXSTAND_FILL, *fill);
      break;
    }
    case simulator::control_verb::busy:
      e = call(driver, KVXSTAND_BUSY, kvxstand_port_value{static_cast<unsigned>(command.port), command.count});
      break;
    default:
      e = call(driver, KVXSTAND_PLUG,
               kvxstand_port_value{static_cast<unsigned>(command.port),
                                   command.verb == simulator::control_verb::plug ? 1u : 0u});
      break;
  }
  if (e != 0) return fail(1, words[0] + " is refused by the driver (error " + std::to_string(e) + ")");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) return fail(2, "no command given");
  unique_handle driver = open_driver();
  if (!driver) return fail(1, "the stand-in driver is not running (no " KVXSTAND_CONTROL_PATH ")");
  if (words[0] == "start") {
    if (words.size() != 3 || words[1] != "--config") return fail(2, "start takes --config FILE");
    return start(driver.get(), words[2]);
  }
  if (words[0] == "stop") return words.size() == 1 ? remove_all(driver.get()) : fail(2, "stop takes no options");
  if (words[0] == "fail") return refuse(driver.get(), words);
  if (words[0] == "hold") return hold(driver.get(), words);
  return control(driver.get(), words);
}
