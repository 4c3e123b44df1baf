// hbalogd's command-line switches. The whole command line is one text (the
// platform gives it: GetCommandLineA on Windows, argv joined on the simulated
// host), and a switch counts only when it is everything after its "-" or "/",
// so only the last word of the line can be one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kvx::logd {

enum class program_action {
  unregister_server,  ///< "UnregServer"
  register_server,    ///< "RegServer": register without the service
  register_service,   ///< "Service": register and install the service
  run,                ///< no switch: run, as the service or as a plain process
};

/// The position just after the next "-" or "/" at or after `position`, or none.
std::optional<std::size_t> find_switch(const std::string& command_line, std::size_t position);

/// True when the texts are equal ignoring the case of ASCII letters (as
/// lstrcmpiA compares the switch words).
bool equal_ignoring_case(const std::string& a, const char* b);

/// What the command line asks for: the first "-" or "/" whose whole remaining
/// text is one of the three switches decides; otherwise the program runs.
program_action read_switches(const std::string& command_line);

}  // namespace kvx::logd
