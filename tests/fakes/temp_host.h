// A throw-away simulated host for one test: a fresh directory set as
// KVX_HOST_ROOT for the guard's lifetime, removed afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace kvx::test {

class temp_host {
 public:
  temp_host();
  ~temp_host();
  temp_host(const temp_host&) = delete;
  temp_host& operator=(const temp_host&) = delete;

  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path root_;
  std::string previous_;
  bool had_previous_ = false;
};

/// Path of a program built in this tree (KVX_BINARY_DIR/relative).
std::filesystem::path built_program(const char* relative);

}  // namespace kvx::test
