// kvxhook: loads KVXService as the suite's installer does and calls one of
// its exports, printing "<export> returned <result>".
//   kvxhook LIBRARY KvxRegistry DIRECTORY
//   kvxhook LIBRARY UninstInitialize
//   kvxhook LIBRARY UninstUnInitialize
// Exit status 0 once the export has returned, 1 when the library or the
// export cannot be had, 2 for bad arguments. UninstInitialize may end the
// process itself (status -1).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "installhooks/kvx_service_exports.h"
#include "installhooks/loader/hook_library.h"

namespace {

using registry_hook = decltype(&KvxRegistry);
using uninstall_hook = decltype(&UninstInitialize);

int usage() {
  std::fprintf(stderr,
               "usage: kvxhook LIBRARY KvxRegistry DIRECTORY\n"
               "       kvxhook LIBRARY UninstInitialize|UninstUnInitialize\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string export_name = argv[2];
  const bool registering = export_name == "KvxRegistry";
  if (registering ? argc != 4 : argc != 3) return usage();
  if (!registering && export_name != "UninstInitialize" && export_name != "UninstUnInitialize") return usage();
  std::string error;
  const std::unique_ptr<kvx::installhooks::hook_library> library = kvx::installhooks::load_hook_library(argv[1], error);
  if (library == nullptr) {
    std::fprintf(stderr, "kvxhook: %s\n", error.c_str());
    return 1;
  }
  void* address = library->symbol(export_name.c_str());
  if (address == nullptr) {
    std::fprintf(stderr, "kvxhook: %s has no export %s\n", argv[1], export_name.c_str());
    return 1;
  }
  std::int32_t result = 0;
  if (registering) {
    result = reinterpret_cast<registry_hook>(address)(nullptr, nullptr, argv[3]);
  } else {
    result = reinterpret_cast<uninstall_hook>(address)();
  }
  std::printf("%s returned %d\n", export_name.c_str(), static_cast<int>(result));
  return 0;
}
