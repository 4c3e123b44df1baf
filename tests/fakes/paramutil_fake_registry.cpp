#include "tests/fakes/paramutil_fake_registry.h"

#include <algorithm>
#include <cctype>

#include "platform/win_codes.h"

namespace kvx::test {

class paramutil_fake_registry::key final : public platform::registry_key {
 public:
  key(paramutil_fake_registry& owner, std::string path) : owner_(owner), path_(std::move(path)) { ++owner_.open_keys_; }
  ~key() override { (void)close(); }

  std::uint32_t query_value(const char* name, std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) override {
    auto values = owner_.keys_.find(path_);
    if (closed_ || values == owner_.keys_.end()) return win::error_invalid_handle;
    auto it = values->second.find(fold(name != nullptr ? name : ""));
    if (it == values->second.end()) return win::error_file_not_found;
    const auto stored = static_cast<std::uint32_t>(it->second.data.size());
    if (type != nullptr) *type = it->second.type;
    if (data == nullptr) {
      if (size != nullptr) *size = stored;
      return win::error_success;
    }
    if (size == nullptr) return win::error_invalid_parameter;
    if (*size < stored) {
      *size = stored;
      return win::error_more_data;
    }
    std::copy(it->second.data.begin(), it->second.data.end(), data);
    *size = stored;
    return win::error_success;
  }

  std::uint32_t set_value(const char* name, std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override {
    auto values = owner_.keys_.find(path_);
    if (closed_ || values == owner_.keys_.end()) return win::error_invalid_handle;
    ++owner_.writes_;
    values->second[fold(name != nullptr ? name : "")] = value{type, std::vector<std::uint8_t>(data, data + size)};
    return win::error_success;
  }

  std::uint32_t delete_value(const char* name) override {
    auto values = owner_.keys_.find(path_);
    if (closed_ || values == owner_.keys_.end()) return win::error_invalid_handle;
    ++owner_.writes_;
    return values->second.erase(fold(name != nullptr ? name : "")) == 1 ? win::error_success
                                                                        : win::error_file_not_found;
  }

  std::uint32_t close() override {
    if (closed_) return win::error_invalid_handle;
    closed_ = true;
    --owner_.open_keys_;
    return win::error_success;
  }

 private:
  paramutil_fake_registry& owner_;
  std::string path_;
  bool closed_ = false;
};

std::string paramutil_fake_registry::fold(const std::string& s) {
  std::string out = s;
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::uint32_t paramutil_fake_registry::open_key(platform::hive_root root, const char* subkey, std::uint32_t,
                                                platform::unique_reg_key& out) {
  if (root != platform::hive_root::local_machine) return win::error_file_not_found;
  const std::string path = fold(subkey);
  if (!denied_.empty() && path == denied_) return win::error_access_denied;
  if (keys_.count(path) == 0) return win::error_file_not_found;
  out = std::make_unique<key>(*this, path);
  return win::error_success;
}

std::uint32_t paramutil_fake_registry::create_key(platform::hive_root root, const char* subkey, std::uint32_t,
                                                  platform::unique_reg_key& out, bool* created) {
  if (root != platform::hive_root::local_machine) return win::error_access_denied;
  const std::string path = fold(subkey);
  const bool is_new = keys_.count(path) == 0;
  if (is_new) {
    ++writes_;
    add_key(subkey);
  }
  if (created != nullptr) *created = is_new;
  out = std::make_unique<key>(*this, path);
  return win::error_success;
}

std::uint32_t paramutil_fake_registry::delete_key(platform::hive_root, const char* subkey) {
  ++writes_;
  return keys_.erase(fold(subkey)) == 1 ? win::error_success : win::error_file_not_found;
}

void paramutil_fake_registry::add_key(const std::string& path) {
  // Every key above it exists too, as on a real hive.
  std::string folded = fold(path);
  for (std::size_t cut = folded.find('\\'); cut != std::string::npos; cut = folded.find('\\', cut + 1)) {
    keys_[folded.substr(0, cut)];
  }
  keys_[folded];
}

bool paramutil_fake_registry::has_key(const std::string& path) const { return keys_.count(fold(path)) == 1; }

void paramutil_fake_registry::put_text(const std::string& path, const std::string& name, const std::string& bytes) {
  add_key(path);
  keys_[fold(path)][fold(name)] = value{win::reg_sz, std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
}

const paramutil_fake_registry::value* paramutil_fake_registry::find(const std::string& path,
                                                                    const std::string& name) const {
  auto k = keys_.find(fold(path));
  if (k == keys_.end()) return nullptr;
  auto v = k->second.find(fold(name));
  return v == k->second.end() ? nullptr : &v->second;
}

std::string paramutil_fake_registry::bytes(const std::string& path, const std::string& name) const {
  const value* v = find(path, name);
  if (v == nullptr) return "<absent>";
  return std::string(v->data.begin(), v->data.end());
}

}  // namespace kvx::test
