// The registry seam on Windows: the advapi32 calls themselves, results passed
// through unchanged.
#include "platform/registry.h"

#include <windows.h>

#include <memory>

#include "platform/host.h"
#include "platform/win_codes.h"

namespace kvx::platform {
namespace {

HKEY root_key(hive_root root) { return root == hive_root::classes_root ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE; }

class win32_key final : public registry_key {
 public:
  explicit win32_key(HKEY key) : key_(key) {}
  ~win32_key() override {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  win32_key(const win32_key&) = delete;
  win32_key& operator=(const win32_key&) = delete;

  std::uint32_t query_value(const char* name, std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) override {
    if (key_ == nullptr) return win::error_invalid_handle;
    DWORD t = 0;
    DWORD n = size != nullptr ? *size : 0;
    const LONG rc =
        ::RegQueryValueExA(key_, name, nullptr, type != nullptr ? &t : nullptr, data, size != nullptr ? &n : nullptr);
    if (type != nullptr && (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA)) *type = t;
    if (size != nullptr && (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA)) *size = n;
    return static_cast<std::uint32_t>(rc);
  }

  std::uint32_t set_value(const char* name, std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override {
    if (key_ == nullptr) return win::error_invalid_handle;
    return static_cast<std::uint32_t>(::RegSetValueExA(key_, name, 0, type, data, size));
  }

  std::uint32_t delete_value(const char* name) override {
    if (key_ == nullptr) return win::error_invalid_handle;
    return static_cast<std::uint32_t>(::RegDeleteValueA(key_, name));
  }

  std::uint32_t close() override {
    if (key_ == nullptr) return win::error_invalid_handle;
    const LONG rc = ::RegCloseKey(key_);
    key_ = nullptr;
    return static_cast<std::uint32_t>(rc);
  }

 private:
  HKEY key_;
};

class win32_registry final : public registry {
 public:
  std::uint32_t open_key(hive_root root, const char* subkey, std::uint32_t access, unique_reg_key& out) override {
    HKEY key = nullptr;
    const LONG rc = ::RegOpenKeyExA(root_key(root), subkey, 0, access, &key);
    if (rc != ERROR_SUCCESS) return static_cast<std::uint32_t>(rc);
    out = std::make_unique<win32_key>(key);
    return win::error_success;
  }

  std::uint32_t create_key(hive_root root, const char* subkey, std::uint32_t access, unique_reg_key& out,
                           bool* created) override {
    HKEY key = nullptr;
    DWORD disposition = 0;
    char empty_class[] = "";
    const LONG rc = ::RegCreateKeyExA(root_key(root), subkey, 0, empty_class, REG_OPTION_NON_VOLATILE, access, nullptr,
                                      &key, &disposition);
    if (rc != ERROR_SUCCESS) return static_cast<std::uint32_t>(rc);
    out = std::make_unique<win32_key>(key);
    if (created != nullptr) *created = disposition == REG_CREATED_NEW_KEY;
    return win::error_success;
  }

  std::uint32_t delete_key(hive_root root, const char* subkey) override {
    return static_cast<std::uint32_t>(::RegDeleteKeyA(root_key(root), subkey));
  }
};

}  // namespace

registry& backend_registry() {
  static win32_registry instance;
  return instance;
}

}  // namespace kvx::platform
