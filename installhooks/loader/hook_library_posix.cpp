#include <dlfcn.h>

#include "installhooks/loader/hook_library.h"

namespace kvx::installhooks {
namespace {

class posix_library final : public hook_library {
 public:
  explicit posix_library(void* handle) : handle_(handle) {}
  ~posix_library() override { ::dlclose(handle_); }
  posix_library(const posix_library&) = delete;
  posix_library& operator=(const posix_library&) = delete;
  void* symbol(const char* name) override { return ::dlsym(handle_, name); }

 private:
  void* handle_;
};

}  // namespace

std::unique_ptr<hook_library> load_hook_library(const std::string& path, std::string& error) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    error = why != nullptr ? why : "dlopen failed";
    return nullptr;
  }
  return std::make_unique<posix_library>(handle);
}

}  // namespace kvx::installhooks
