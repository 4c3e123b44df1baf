// The three exports: the platform's own services handed to the hooks.
#include <cstdlib>

#include "installhooks/kvx_service.h"
#include "installhooks/kvx_service_exports.h"
#include "platform/registry.h"

namespace {

kvx::installhooks::hooks_platform host_platform() {
  return {kvx::platform::backend_processes(), kvx::platform::host_registry(), kvx::platform::backend_dialogs(),
          [](int status) { std::exit(status); }};
}

}  // namespace

extern "C" {

std::int32_t KVX_WINAPI KvxRegistry(void*, void*, const char* install_dir) {
  return kvx::installhooks::kvx_registry(host_platform(), install_dir);
}

std::int32_t KVX_WINAPI UninstInitialize() { return kvx::installhooks::uninst_initialize(host_platform()); }

std::int32_t KVX_WINAPI UninstUnInitialize() { return 0; }

}  // extern "C"
