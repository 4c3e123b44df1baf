#include <windows.h>

#include "installhooks/loader/hook_library.h"

namespace kvx::installhooks {
namespace {

class win32_library final : public hook_library {
 public:
  explicit win32_library(HMODULE module) : module_(module) {}
  ~win32_library() override { ::FreeLibrary(module_); }
  win32_library(const win32_library&) = delete;
  win32_library& operator=(const win32_library&) = delete;
  void* symbol(const char* name) override { return reinterpret_cast<void*>(::GetProcAddress(module_, name)); }

 private:
  HMODULE module_;
};

}  // namespace

std::unique_ptr<hook_library> load_hook_library(const std::string& path, std::string& error) {
  HMODULE module = ::LoadLibraryA(path.c_str());
  if (module == nullptr) {
    error = "LoadLibraryA failed with error " + std::to_string(::GetLastError());
    return nullptr;
  }
  return std::make_unique<win32_library>(module);
}

}  // namespace kvx::installhooks
