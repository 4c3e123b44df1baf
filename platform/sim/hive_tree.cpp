// Keys, values and key names of the simulated registry.
#include <algorithm>
#include <cstddef>

#include "platform/sim/hive.h"

namespace kvx::sim {
namespace {

constexpr std::size_t max_key_name = 255;
constexpr std::size_t max_value_name = 16383;

unsigned char fold(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// Orders names the way Windows lists subkeys: by letters ignoring case.
bool name_less(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return fold(x) < fold(y); });
}

bool has_control_character(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
}

struct root_spelling {
  const char* text;
  hive_root root;
};

constexpr root_spelling root_spellings[] = {
    {"HKEY_LOCAL_MACHINE", hive_root::local_machine},
    {"HKLM", hive_root::local_machine},
    {"HKEY_CLASSES_ROOT", hive_root::classes_root},
    {"HKCR", hive_root::classes_root},
};

}  // namespace

bool names_equal(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return fold(x) == fold(y); });
}

const reg_value* reg_key::find_value(std::string_view name) const {
  for (const reg_value& v : values_) {
    if (names_equal(v.name, name)) return &v;
  }
  return nullptr;
}

void reg_key::set_value(std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data) {
  for (reg_value& v : values_) {
    if (names_equal(v.name, name)) {
      v.type = type;
      v.data = std::move(data);
      return;
    }
  }
  values_.push_back(reg_value{std::string(name), type, std::move(data)});
}

bool reg_key::remove_value(std::string_view name) {
  const auto it =
      std::find_if(values_.begin(), values_.end(), [name](const reg_value& v) { return names_equal(v.name, name); });
  if (it == values_.end()) return false;
  values_.erase(it);
  return true;
}

reg_key* reg_key::find_subkey(std::string_view name) {
  return const_cast<reg_key*>(static_cast<const reg_key*>(this)->find_subkey(name));
}

const reg_key* reg_key::find_subkey(std::string_view name) const {
  const auto it = std::lower_bound(subkeys_.begin(), subkeys_.end(), name,
                                   [](const reg_key& k, std::string_view n) { return name_less(k.name_, n); });
  return it != subkeys_.end() && names_equal(it->name_, name) ? &*it : nullptr;
}

reg_key& reg_key::add_subkey(std::string_view name, bool* created) {
  const auto it = std::lower_bound(subkeys_.begin(), subkeys_.end(), name,
                                   [](const reg_key& k, std::string_view n) { return name_less(k.name_, n); });
  const bool found = it != subkeys_.end() && names_equal(it->name_, name);
  if (created != nullptr) *created = !found;
  if (found) return *it;
  return *subkeys_.insert(it, reg_key(std::string(name)));
}

bool reg_key::remove_subkey(std::string_view name) {
  const reg_key* k = find_subkey(name);
  if (k == nullptr) return false;
  subkeys_.erase(subkeys_.begin() + (k - subkeys_.data()));
  return true;
}

reg_key* reg_key::find(const key_path& path) {
  return const_cast<reg_key*>(static_cast<const reg_key*>(this)->find(path));
}

const reg_key* reg_key::find(const key_path& path) const {
  const reg_key* k = this;
  for (const std::string& name : path) {
    k = k->find_subkey(name);
    if (k == nullptr) return nullptr;
  }
  return k;
}

reg_key& reg_key::make(const key_path& path, bool* created) {
  reg_key* k = this;
  bool made = false;
  for (const std::string& name : path) k = &k->add_subkey(name, &made);
  if (created != nullptr) *created = made;
  return *k;
}

const char* root_name(hive_root root) {
  return root == hive_root::classes_root ? "HKEY_CLASSES_ROOT" : "HKEY_LOCAL_MACHINE";
}

bool valid_key_name(std::string_view name) {
  return !name.empty() && name.size() <= max_key_name && name.find('\\') == std::string_view::npos &&
         !has_control_character(name);
}

bool valid_value_name(std::string_view name) { return name.size() <= max_value_name && !has_control_character(name); }

int split_subkey(std::string_view subkey, key_path& path) {
  key_path out;
  if (!subkey.empty() && subkey.back() == '\\') subkey.remove_suffix(1);
  while (!subkey.empty()) {
    const std::size_t cut = subkey.find('\\');
    const std::string_view name = subkey.substr(0, cut);
    if (!valid_key_name(name)) return 1;
    out.emplace_back(name);
    if (cut == std::string_view::npos) break;
    subkey.remove_prefix(cut + 1);
    if (subkey.empty()) return 1;
  }
  path = std::move(out);
  return 0;
}

int parse_full_key_name(std::string_view text, hive_root& root, key_path& path) {
  const std::size_t cut = text.find('\\');
  const std::string_view head = text.substr(0, cut);
  for (const root_spelling& r : root_spellings) {
    if (!names_equal(head, r.text)) continue;
    key_path below;
    if (cut != std::string_view::npos && split_subkey(text.substr(cut + 1), below) != 0) return 1;
    root = r.root;
    path = std::move(below);
    return 0;
  }
  return 1;
}

std::string full_key_name(hive_root root, const key_path& path) {
  std::string out = root_name(root);
  for (const std::string& name : path) {
    out += '\\';
    out += name;
  }
  return out;
}

}  // namespace kvx::sim
