// Runs a built program as a child process with the given standard input and
// collects its standard output and exit status; for hbautil's session tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kvx::test {

struct program_run {
  int status = -1;  // exit status 0-255, or 128 + signal number
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
};

/// Runs `program` with `args` in the current environment (so under the
/// temp_host of the calling test), feeding `input` on standard input from a
/// file in `scratch` and waiting for it to end.
program_run run_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                        const std::string& input, const std::filesystem::path& scratch);

/// The whole content of a file, or "<missing FILE>".
std::string read_file(const std::filesystem::path& path);

}  // namespace kvx::test
