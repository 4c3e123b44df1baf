// The sub-commands of simhost, the administrator's tool for the simulated
// host. Each takes the words after its own name and gives the exit status.
#pragma once

#include <string>
#include <vector>

namespace kvx::simhost {

using arguments = std::vector<std::string>;

/// reg query|add|delete|import|export, with reg.exe's syntax.
int run_reg(const arguments& args);
/// eventlog show|clear|write System|Application ...
int run_eventlog(const arguments& args);

}  // namespace kvx::simhost
