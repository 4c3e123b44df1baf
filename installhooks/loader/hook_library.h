// A library loaded by path (dlopen or LoadLibraryA), released by the destructor.
#pragma once

#include <memory>
#include <string>

namespace kvx::installhooks {

class hook_library {
 public:
  virtual ~hook_library() = default;
  /// The address of an exported function, or null.
  virtual void* symbol(const char* name) = 0;
};

/// Null when the library does not load; `error` then says why.
std::unique_ptr<hook_library> load_hook_library(const std::string& path, std::string& error);

}  // namespace kvx::installhooks
