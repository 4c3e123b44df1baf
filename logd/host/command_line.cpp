#include "logd/host/command_line.h"

#include <cctype>
#include <cstring>

namespace kvx::logd {

std::optional<std::size_t> find_switch(const std::string& command_line, std::size_t position) {
  if (position >= command_line.size()) return std::nullopt;
  const std::size_t at = command_line.find_first_of("-/", position);
  if (at == std::string::npos) return std::nullopt;
  return at + 1;
}

bool equal_ignoring_case(const std::string& a, const char* b) {
  const std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

program_action read_switches(const std::string& command_line) {
  std::size_t position = 0;
  while (const std::optional<std::size_t> after = find_switch(command_line, position)) {
    const std::string rest = command_line.substr(*after);
    if (equal_ignoring_case(rest, "UnregServer")) return program_action::unregister_server;
    if (equal_ignoring_case(rest, "RegServer")) return program_action::register_server;
    if (equal_ignoring_case(rest, "Service")) return program_action::register_service;
    position = *after;
  }
  return program_action::run;
}

}  // namespace kvx::logd
