#include "platform/sim/host_root.h"

#include <cctype>
#include <cstdlib>
#include <string>
#include <system_error>

#include "platform/files.h"

namespace kvx::sim {

std::filesystem::path host_root() {
  const char* root = std::getenv("KVX_HOST_ROOT");
  if (root != nullptr && *root != '\0') return root;
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return std::filesystem::path(home) / ".kvx-host";
  return "/tmp/kvx-host";
}

std::filesystem::path host_dir(const char* name) {
  std::filesystem::path dir = host_root() / name;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir;
}

}  // namespace kvx::sim

namespace kvx::platform {

std::string native_path(const char* windows_path) {
  std::string in = windows_path != nullptr ? windows_path : "";
  std::string out;
  std::size_t i = 0;
  if (in.size() >= 2 && std::isalpha(static_cast<unsigned char>(in[0])) != 0 && in[1] == ':') {
    out = (sim::host_root() / "drive_").string();
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(in[0])));
    i = 2;
    if (i < in.size() && in[i] != '\\' && in[i] != '/') out += '/';
  }
  for (; i < in.size(); ++i) out += in[i] == '\\' ? '/' : in[i];
  return out;
}

}  // namespace kvx::platform
