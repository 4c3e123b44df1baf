// The registry seam on the simulated host: every call reads the hive file of
// its root; every change is one locked read-modify-write of that file. A key
// handle holds the key's path, not a copy of the key, so it sees what other
// handles and processes change, and fails with error_key_deleted once its key
// is gone (a key made again under the same name is taken for the same key).
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/host.h"
#include "platform/registry.h"
#include "platform/sim/hive.h"
#include "platform/win_codes.h"

namespace kvx::sim {
namespace {

constexpr std::uint32_t maximum_allowed = 0x02000000;
constexpr std::uint32_t generic_all = 0x10000000;
constexpr std::uint32_t generic_write = 0x40000000;
constexpr std::uint32_t generic_read = 0x80000000;
constexpr std::uint32_t query_rights = win::key_query_value | generic_read | generic_all | maximum_allowed;
constexpr std::uint32_t set_rights = win::key_set_value | generic_write | generic_all | maximum_allowed;

bool valid_root(hive_root root) { return root == hive_root::local_machine || root == hive_root::classes_root; }

// A hive that cannot be read or written is the host's fault, not the
// caller's: say why on stderr, once, where it is found.
std::uint32_t hive_failure(const hive_error& e) {
  std::fprintf(stderr, "simulated registry: %s\n", e.message.c_str());
  return e.code;
}

class sim_key final : public platform::registry_key {
 public:
  sim_key(hive_root root, key_path path, std::uint32_t access) : root_(root), path_(std::move(path)), access_(access) {}

  std::uint32_t query_value(const char* name, std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) override {
    if (const std::uint32_t rc = check(query_rights); rc != win::error_success) return rc;
    if (data != nullptr && size == nullptr) return win::error_invalid_parameter;
    std::shared_ptr<const reg_key> top;
    hive_error e;
    if (read_hive(root_, top, e) != 0) return hive_failure(e);
    const reg_key* key = top->find(path_);
    if (key == nullptr) return win::error_key_deleted;
    const reg_value* v = key->find_value(name != nullptr ? name : "");
    if (v == nullptr) return win::error_file_not_found;
    const auto stored = static_cast<std::uint32_t>(v->data.size());
    if (type != nullptr) *type = v->type;
    if (data == nullptr) {
      if (size != nullptr) *size = stored;
      return win::error_success;
    }
    if (*size < stored) {
      *size = stored;
      return win::error_more_data;
    }
    if (stored != 0) std::memcpy(data, v->data.data(), stored);
    *size = stored;
    return win::error_success;
  }

  std::uint32_t set_value(const char* name, std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override {
    if (const std::uint32_t rc = check(set_rights); rc != win::error_success) return rc;
    const std::string_view value_name = name != nullptr ? name : "";
    if ((data == nullptr && size != 0) || !valid_value_name(value_name)) return win::error_invalid_parameter;
    return change([&](reg_key& key, bool& changed) {
      key.set_value(value_name, type, std::vector<std::uint8_t>(data, data + size));
      changed = true;
      return win::error_success;
    });
  }

  std::uint32_t delete_value(const char* name) override {
    if (const std::uint32_t rc = check(set_rights); rc != win::error_success) return rc;
    const std::string_view value_name = name != nullptr ? name : "";
    return change([&](reg_key& key, bool& changed) {
      changed = key.remove_value(value_name);
      return changed ? win::error_success : win::error_file_not_found;
    });
  }

  std::uint32_t close() override {
    if (!open_) return win::error_invalid_handle;
    open_ = false;
    return win::error_success;
  }

 private:
  std::uint32_t check(std::uint32_t rights) const {
    if (!open_) return win::error_invalid_handle;
    return (access_ & rights) != 0 ? win::error_success : win::error_access_denied;
  }

  // One locked read-modify-write of this key; the hive is rewritten only when
  // `edit` reports a change.
  template <class Edit>
  std::uint32_t change(Edit edit) {
    hive_lock lock;
    reg_key top;
    hive_error e;
    if (lock.acquire(e) != 0 || load_hive(root_, top, e) != 0) return hive_failure(e);
    reg_key* key = top.find(path_);
    if (key == nullptr) return win::error_key_deleted;
    bool changed = false;
    const std::uint32_t rc = edit(*key, changed);
    if (changed && store_hive(root_, top, e) != 0) return hive_failure(e);
    return rc;
  }

  hive_root root_;
  key_path path_;
  std::uint32_t access_;
  bool open_ = true;
};

class sim_registry final : public platform::registry {
 public:
  std::uint32_t open_key(hive_root root, const char* subkey, std::uint32_t access,
                         platform::unique_reg_key& out) override {
    if (!valid_root(root)) return win::error_invalid_handle;
    key_path path;
    // A name that no key can have names no key.
    if (split_subkey(subkey != nullptr ? subkey : "", path) != 0) return win::error_file_not_found;
    std::shared_ptr<const reg_key> top;
    hive_error e;
    if (read_hive(root, top, e) != 0) return hive_failure(e);
    if (top->find(path) == nullptr) return win::error_file_not_found;
    out = std::make_unique<sim_key>(root, std::move(path), access);
    return win::error_success;
  }

  std::uint32_t create_key(hive_root root, const char* subkey, std::uint32_t access, platform::unique_reg_key& out,
                           bool* created) override {
    if (!valid_root(root)) return win::error_invalid_handle;
    key_path path;
    if (split_subkey(subkey != nullptr ? subkey : "", path) != 0) return win::error_invalid_parameter;
    hive_lock lock;
    reg_key top;
    hive_error e;
    if (lock.acquire(e) != 0 || load_hive(root, top, e) != 0) return hive_failure(e);
    bool made = false;
    top.make(path, &made);
    if (made && store_hive(root, top, e) != 0) return hive_failure(e);
    if (created != nullptr) *created = made;
    out = std::make_unique<sim_key>(root, std::move(path), access);
    return win::error_success;
  }

  std::uint32_t delete_key(hive_root root, const char* subkey) override {
    if (!valid_root(root)) return win::error_invalid_handle;
    key_path path;
    if (split_subkey(subkey != nullptr ? subkey : "", path) != 0) return win::error_file_not_found;
    if (path.empty()) return win::error_access_denied;
    hive_lock lock;
    reg_key top;
    hive_error e;
    if (lock.acquire(e) != 0 || load_hive(root, top, e) != 0) return hive_failure(e);
    const reg_key* key = top.find(path);
    if (key == nullptr) return win::error_file_not_found;
    if (!key->subkeys().empty()) return win::error_access_denied;
    const std::string name = path.back();
    path.pop_back();
    top.find(path)->remove_subkey(name);
    if (store_hive(root, top, e) != 0) return hive_failure(e);
    return win::error_success;
  }
};

}  // namespace
}  // namespace kvx::sim

namespace kvx::platform {

registry& backend_registry() {
  // Stateless: every call goes to the hive files, so one instance serves all threads.
  static sim::sim_registry instance;
  return instance;
}

}  // namespace kvx::platform
