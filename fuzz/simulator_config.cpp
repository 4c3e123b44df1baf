// The driver simulator's configuration file of any bytes, as text and as a
// file. A text is either refused with a message naming its line, or gives
// adapters whose ports are unique and in range and whose fields fit the
// replies they are served in.
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_host.h"
#include "simulator/config.h"

namespace {

using namespace kvx;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "simulator configuration broken: %s (%s)\n", what, detail.c_str());
  std::abort();
}

void check_adapters(const std::vector<simulator::adapter_config>& adapters) {
  std::set<int> ports;
  for (const simulator::adapter_config& a : adapters) {
    if (a.port < 0 || a.port > 127 || !ports.insert(a.port).second) fail("port", std::to_string(a.port));
    if (a.driver.empty() || a.driver.size() > 64) fail("driver name", a.driver);
    if (a.driver_version.size() > 255 || a.firmware_version.size() > 151) fail("version text", a.driver_version);
    if (a.parts_number && a.parts_number->size() > 11) fail("parts number", *a.parts_number);
    if (a.device_object.empty() || a.device_object.size() > 200) fail("device object", a.device_object);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<simulator::adapter_config> adapters;
  std::string error;
  if (simulator::parse_config(text, adapters, error) == 0) {
    check_adapters(adapters);
  } else if (error.rfind("line ", 0) != 0) {
    fail("an error that names no line", error);
  }

  const std::filesystem::path file = fuzz::temp_host_root() / "adapters.ini";
  fuzz::write_file(file, text);
  std::vector<simulator::adapter_config> loaded;
  std::string load_error;
  if (simulator::load_config(file.string(), loaded, load_error) == 0) {
    check_adapters(loaded);
  } else if (load_error.rfind(file.string() + ": ", 0) != 0) {
    fail("an error that names no file", load_error);
  }
  return 0;
}
