// The simulated host's registry as the tools see it: keys and values in
// memory, the .reg text that both the hive files and `simhost reg
// import|export` use, and the hive files themselves.
//
// Each root lives in one file, <host root>/registry/HKEY_LOCAL_MACHINE.reg and
// <host root>/registry/HKEY_CLASSES_ROOT.reg, in the "Windows Registry Editor
// Version 5.00" text format so that a person can read and edit it. A change is
// a read-modify-write under hive_lock (an exclusive flock on
// <host root>/registry/registry.lock) finished by store_hive, which replaces the
// file by rename: a reader without the lock sees the old file or the new one,
// whole, and a writer killed at any moment leaves the previous file in place.
//
// Data is kept as the ANSI interfaces hand it over, one byte per character. In
// a "Version 5.00" file the string types written as hex (hex(1), hex(2),
// hex(7)) carry two bytes per character, as on Windows; in a "REGEDIT4" file
// they carry the bytes themselves.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/registry.h"

namespace kvx::sim {

using platform::hive_root;

/// Key names below a root, outermost first.
using key_path = std::vector<std::string>;

/// Error detail beside a failed result: a Windows error code (win_codes.h) and
/// a message for a person, naming the file and line where there is one.
struct hive_error {
  std::uint32_t code = 0;
  std::string message;
};

/// One value. An empty name is the key's default value; `data` is exactly the
/// bytes stored (a REG_SZ need not end in NUL).
struct reg_value {
  std::string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

/// True when the names are equal ignoring the case of ASCII letters, which is
/// how key and value names compare.
bool names_equal(std::string_view a, std::string_view b);

/// A key: values in the order they were first set, subkeys sorted by name
/// ignoring case. Names keep the case they were first given in. Pointers and
/// references into a key stay valid until a subkey is added to or removed from
/// the key that holds them.
class reg_key {
 public:
  reg_key() = default;
  explicit reg_key(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  const std::vector<reg_value>& values() const { return values_; }
  const std::vector<reg_key>& subkeys() const { return subkeys_; }

  /// Null when absent.
  const reg_value* find_value(std::string_view name) const;
  /// Replaces the type and data of an existing value (its name keeps its
  /// case) or appends a new value.
  void set_value(std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data);
  /// False when absent.
  bool remove_value(std::string_view name);
  void clear_values() { values_.clear(); }

  reg_key* find_subkey(std::string_view name);
  const reg_key* find_subkey(std::string_view name) const;
  /// The existing subkey, or a new empty one; *created (may be null) tells which.
  reg_key& add_subkey(std::string_view name, bool* created);
  /// Removes the subkey with everything below it; false when absent.
  bool remove_subkey(std::string_view name);

  /// The key `path` below this one (this key for an empty path); null when a
  /// key on the way is missing.
  reg_key* find(const key_path& path);
  const reg_key* find(const key_path& path) const;
  /// Like find, creating every missing key; *created (may be null) is true
  /// when the last one was created.
  reg_key& make(const key_path& path, bool* created);

 private:
  std::string name_;
  std::vector<reg_value> values_;
  std::vector<reg_key> subkeys_;
};

/// "HKEY_LOCAL_MACHINE" or "HKEY_CLASSES_ROOT".
const char* root_name(hive_root root);

/// A key name may not be empty, longer than 255 bytes, or hold a backslash or a
/// control character (the .reg text could not carry it).
bool valid_key_name(std::string_view name);
/// A value name may be empty (the default value) but not longer than 16383
/// bytes nor hold a control character.
bool valid_value_name(std::string_view name);

/// Splits a subkey below a root: "SOFTWARE\\Velmora" gives two names, "" the
/// root itself; one trailing backslash is allowed. 1 for a leading backslash,
/// an empty name between two backslashes or an invalid name.
[[nodiscard]] int split_subkey(std::string_view subkey, key_path& path);

/// Splits a full key name whose root is written HKEY_LOCAL_MACHINE, HKLM,
/// HKEY_CLASSES_ROOT or HKCR (any case). 1 for another root or a bad subkey.
[[nodiscard]] int parse_full_key_name(std::string_view text, hive_root& root, key_path& path);

/// "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora": the root's long name and the path.
std::string full_key_name(hive_root root, const key_path& path);

/// One change that a .reg text makes, in the order the text gives them.
struct reg_edit {
  enum class action { create_key, delete_key, set_value, delete_value };
  action what = action::create_key;
  hive_root root = hive_root::local_machine;
  key_path path;
  /// set_value: the value; delete_value: its name only.
  reg_value value;
};

/// Parses .reg text: the first line "Windows Registry Editor Version 5.00" or
/// "REGEDIT4"; "[KEY]" sections ("[-KEY]" deletes a key tree); "name"=value
/// lines with "..." text, dword:, hex:, hex(N): and "-" (delete); "@" for the
/// default value; ';' comment lines, blank lines, CR LF or LF, lists continued
/// with a trailing backslash. UTF-16LE text with its byte order mark and a
/// UTF-8 byte order mark are accepted. On failure gives 1 with
/// error_registry_corrupt and a message "line N: ...", and `edits` untouched.
[[nodiscard]] int parse_reg_text(std::string_view text, std::vector<reg_edit>& edits, hive_error& error);

/// Applies the edits made to `root` to the tree `top` of that root.
void apply_edits(const std::vector<reg_edit>& edits, hive_root root, reg_key& top);

/// "Windows Registry Editor Version 5.00" text of `key` (named by root and
/// path) and of every key below it, one section per key, LF line ends. An empty
/// path with no values writes no section for the root itself.
std::string format_reg_text(hive_root root, const key_path& path, const reg_key& key);

/// <host root>/registry/<root name>.reg.
std::filesystem::path hive_file(hive_root root);

/// The exclusive lock that serialises every change of the registry, across
/// threads and processes. Released by the destructor (or when the process
/// dies).
class hive_lock {
 public:
  hive_lock() = default;
  ~hive_lock();
  hive_lock(const hive_lock&) = delete;
  hive_lock& operator=(const hive_lock&) = delete;

  /// Blocks until the lock is held. 1 when the lock file cannot be opened.
  [[nodiscard]] int acquire(hive_error& error);

 private:
  int fd_ = -1;
};

/// Reads the hive of `root` into `top` (replacing what it held); a missing file
/// is an empty hive. 1 with error_registry_corrupt for a file that does not
/// parse or holds another root's keys, error_access_denied when it cannot be
/// read.
[[nodiscard]] int load_hive(hive_root root, reg_key& top, hive_error& error);

/// The hive of `root` as its file holds it now, shared and read-only, with the
/// errors of load_hive. The file is read on every call; its parse is kept for
/// the file's exact text, so a reader that finds the text unchanged (the usual
/// case for a walk over many keys) does not parse it again.
[[nodiscard]] int read_hive(hive_root root, std::shared_ptr<const reg_key>& top, hive_error& error);

/// Replaces the hive file of `root` with the text of `top`: a temporary file
/// in the same directory, fsync, rename over the hive, fsync of the directory.
/// The caller holds hive_lock.
[[nodiscard]] int store_hive(hive_root root, const reg_key& top, hive_error& error);

/// Writes any file the way store_hive writes a hive (the temporary file is
/// `path` with ".new" appended).
[[nodiscard]] int write_file_atomically(const std::filesystem::path& path, std::string_view text, hive_error& error);

}  // namespace kvx::sim
