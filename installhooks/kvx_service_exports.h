// The exports of KVXService, as the installer calls them. KVX_WINAPI is the
// Windows API calling convention on Windows and nothing elsewhere (the build
// defines it); the names are undecorated on both (KVXService.def, extern "C").
#pragma once

#include <cstdint>

extern "C" {

/// Registers hbalogd as a service from `install_dir` and starts it. `first`
/// and `second` are not used. 0, the registering run's status, or -2.
std::int32_t KVX_WINAPI KvxRegistry(void* first, void* second, const char* install_dir);

/// Stops hbalogd and unregisters it, with the install directory from the
/// uninstall key's "kvxTgDir". 0 or -1; may end the calling process.
std::int32_t KVX_WINAPI UninstInitialize();

/// Does nothing. 0.
std::int32_t KVX_WINAPI UninstUnInitialize();

}  // extern "C"
