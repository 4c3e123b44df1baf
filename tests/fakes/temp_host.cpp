#include "tests/fakes/temp_host.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace kvx::test {

temp_host::temp_host() {
  std::string templ = (std::filesystem::temp_directory_path() / "kvx-test-XXXXXX").string();
  char* made = ::mkdtemp(templ.data());
  if (made == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  root_ = made;
  if (const char* old = std::getenv("KVX_HOST_ROOT"); old != nullptr) {
    previous_ = old;
    had_previous_ = true;
  }
  ::setenv("KVX_HOST_ROOT", root_.c_str(), 1);
}

temp_host::~temp_host() {
  if (had_previous_) {
    ::setenv("KVX_HOST_ROOT", previous_.c_str(), 1);
  } else {
    ::unsetenv("KVX_HOST_ROOT");
  }
  if (std::getenv("KVX_KEEP_TEST_HOST") == nullptr && !root_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
}

std::filesystem::path built_program(const char* relative) { return std::filesystem::path(KVX_BINARY_DIR) / relative; }

}  // namespace kvx::test
