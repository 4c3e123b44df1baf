// regprobe: the registry operations that Wine's reg.exe cannot do, for the
// Wine checks.
//   regprobe get KEY NAME              prints "TYPE SIZE HEX" of the value as
//                                      stored (the wide-character view, so a
//                                      REG_SZ shows whether it ends in a NUL)
//   regprobe set KEY NAME TYPE HEX     writes exactly those bytes (RegSetValueExW),
//                                      a REG_SZ without its NUL if HEX has none
//   regprobe volatile KEY NAME TEXT    creates KEY volatile (the only kind the
//                                      volatile HKLM\HARDWARE takes) and writes
//                                      TEXT as REG_SZ with its NUL
// KEY is HKLM\... or HKCU\...; TYPE is the decimal registry type number.
// Exit status: 0 done, 1 the value or key is absent, 2 bad arguments, 3 any
// other registry failure (the code is printed on standard error).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

struct key_closer {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using unique_key = std::unique_ptr<std::remove_pointer_t<HKEY>, key_closer>;

bool split_key(const std::string& text, HKEY& root, std::wstring& path) {
  const std::size_t slash = text.find('\\');
  if (slash == std::string::npos) return false;
  const std::string hive = text.substr(0, slash);
  if (hive == "HKLM") {
    root = HKEY_LOCAL_MACHINE;
  } else if (hive == "HKCU") {
    root = HKEY_CURRENT_USER;
  } else {
    return false;
  }
  path.assign(text.begin() + static_cast<std::ptrdiff_t>(slash) + 1, text.end());
  return true;
}

std::wstring widen(const char* text) { return std::wstring(text, text + std::strlen(text)); }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_hex(const char* text, std::vector<BYTE>& bytes) {
  const std::size_t n = std::strlen(text);
  if (n % 2 != 0) return false;
  for (std::size_t i = 0; i < n; i += 2) {
    const int hi = hex_digit(text[i]);
    const int lo = hex_digit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<BYTE>(hi * 16 + lo));
  }
  return true;
}

int failed(const char* what, LONG rc) {
  if (rc == ERROR_FILE_NOT_FOUND) return 1;
  std::fprintf(stderr, "regprobe: %s: error %ld\n", what, static_cast<long>(rc));
  return 3;
}

int get_value(HKEY root, const std::wstring& path, const std::wstring& name) {
  HKEY raw = nullptr;
  LONG rc = RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &raw);
  if (rc != ERROR_SUCCESS) return failed("open", rc);
  const unique_key key(raw);
  DWORD type = 0;
  DWORD size = 0;
  rc = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS) return failed("query", rc);
  std::vector<BYTE> data(size + 1);
  rc = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, data.data(), &size);
  if (rc != ERROR_SUCCESS) return failed("query", rc);
  std::printf("%lu %lu ", static_cast<unsigned long>(type), static_cast<unsigned long>(size));
  for (DWORD i = 0; i < size; ++i) std::printf("%02x", data[i]);
  std::printf("\n");
  return 0;
}

int set_value(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type, const std::vector<BYTE>& bytes,
              DWORD options) {
  HKEY raw = nullptr;
  LONG rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &raw, nullptr);
  if (rc != ERROR_SUCCESS) return failed("create", rc);
  const unique_key key(raw);
  // RegSetValueExW counts a string's NUL in when the caller left it out and
  // the character after the data is one; a guard character after the data
  // keeps the bytes exactly as given.
  std::vector<BYTE> guarded(bytes);
  guarded.insert(guarded.end(), {0xFF, 0xFF});
  rc = RegSetValueExW(key.get(), name.c_str(), 0, type, guarded.data(), static_cast<DWORD>(bytes.size()));
  return rc == ERROR_SUCCESS ? 0 : failed("set", rc);
}

int usage() {
  std::fprintf(stderr,
               "usage: regprobe get KEY NAME\n"
               "       regprobe set KEY NAME TYPE HEX\n"
               "       regprobe volatile KEY NAME TEXT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  const std::string command = argv[1];
  HKEY root = nullptr;
  std::wstring path;
  if (!split_key(argv[2], root, path)) return usage();
  const std::wstring name = widen(argv[3]);
  if (command == "get" && argc == 4) return get_value(root, path, name);
  if (command == "set" && argc == 6) {
    char* end = nullptr;
    const unsigned long type = std::strtoul(argv[4], &end, 10);
    std::vector<BYTE> bytes;
    if (end == argv[4] || *end != '\0' || !parse_hex(argv[5], bytes)) return usage();
    return set_value(root, path, name, static_cast<DWORD>(type), bytes, REG_OPTION_NON_VOLATILE);
  }
  if (command == "volatile" && argc == 5) {
    const std::wstring text = widen(argv[4]);
    std::vector<BYTE> bytes((text.size() + 1) * sizeof(wchar_t));
    std::memcpy(bytes.data(), text.c_str(), bytes.size());
    return set_value(root, path, name, REG_SZ, bytes, REG_OPTION_VOLATILE);
  }
  return usage();
}
