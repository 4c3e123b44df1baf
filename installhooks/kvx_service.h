// KVXService's work, behind its three exports: registering and starting
// hbalogd for the installer, and stopping and unregistering it at removal.
// Everything is done by running programs: hbalogd itself with "/Service" or
// "/UnregServer", and the system's service command (net start|stop hbalogd).
// Nothing is kept between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/dialog.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace kvx::installhooks {

/// Every command and message text is built in a buffer of this size; a
/// command that would not fit it is not run and counts as failing to start.
inline constexpr std::size_t text_buffer = 4096;
inline constexpr const char* uninstall_key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KVXTools";
inline constexpr const char* install_dir_value = "kvxTgDir";
inline constexpr const char* service_program = "\\hbalogd\\hbalogd.exe";

/// What the hooks work through; each outlives the call.
struct hooks_platform {
  platform::process_runner& processes;
  platform::registry& registry;
  platform::dialogs& dialogs;
  /// Ends the calling process with the status (the C library's exit()).
  std::function<void(int status)> end_process;
};

/// The service program of an install directory, as this host runs it
/// (<dir>\hbalogd\hbalogd.exe; <dir>/hbalogd/hbalogd on the simulated host).
std::string service_program_path(const std::string& install_dir);

/// 0 when hbalogd was registered and the start command ran; the registering
/// run's non-zero status (-1 when it did not start); -2 when the start command
/// did not start (the registration is then undone).
std::int32_t kvx_registry(const hooks_platform& p, const char* install_dir);

/// 0 when hbalogd was unregistered; -1 otherwise. Ends the calling process
/// with status -1 when the uninstall key does not close or the stop command
/// does not start.
std::int32_t uninst_initialize(const hooks_platform& p);

}  // namespace kvx::installhooks
