// resprobe: reads the resources of a program file through the Windows calls
// that use them, for the Wine checks.
//   resprobe message FILE ID LANG TEXT   the message ID (hex) in language LANG
//                                        (decimal) formatted with TEXT as %1,
//                                        as an event viewer would show it
//   resprobe string FILE ID              string resource ID
//   resprobe resource FILE TYPE ID       the raw bytes of resource TYPE/ID
//   resprobe typelib FILE                "{GUID} MAJOR.MINOR NAME INTERFACES"
//   resprobe version FILE                "FILE PRODUCT FileVersion|ProductVersion"
// Exit status: 0 done, 1 not found, 2 bad arguments.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

struct module_releaser {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using unique_module = std::unique_ptr<std::remove_pointer_t<HMODULE>, module_releaser>;

struct local_releaser {
  void operator()(char* text) const { LocalFree(text); }
};

template <typename T>
struct com_releaser {
  void operator()(T* object) const { object->Release(); }
};

unique_module load_data_file(const char* path) {
  return unique_module(LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

int message(const char* path, const char* id_text, const char* lang_text, const char* text) {
  const unique_module module = load_data_file(path);
  if (!module) return 1;
  const DWORD id = std::strtoul(id_text, nullptr, 16);
  const WORD lang = static_cast<WORD>(std::strtoul(lang_text, nullptr, 10));
  DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(text)};
  char* raw = nullptr;
  const DWORD n =
      FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                     module.get(), id, lang, reinterpret_cast<char*>(&raw), 0, reinterpret_cast<va_list*>(args));
  const std::unique_ptr<char, local_releaser> formatted(raw);
  if (n == 0) return 1;
  std::fwrite(formatted.get(), 1, n, stdout);
  return 0;
}

int string_resource(const char* path, const char* id_text) {
  const unique_module module = load_data_file(path);
  if (!module) return 1;
  char text[512] = {};
  const int n = LoadStringA(module.get(), static_cast<UINT>(std::strtoul(id_text, nullptr, 10)), text, sizeof text);
  if (n <= 0) return 1;
  std::fwrite(text, 1, static_cast<std::size_t>(n), stdout);
  return 0;
}

int raw_resource(const char* path, const char* type, const char* id_text) {
  const unique_module module = load_data_file(path);
  if (!module) return 1;
  const WORD id = static_cast<WORD>(std::strtoul(id_text, nullptr, 10));
  HRSRC found = FindResourceA(module.get(), MAKEINTRESOURCEA(id), type);
  if (found == nullptr) return 1;
  HGLOBAL loaded = LoadResource(module.get(), found);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr) return 1;
  std::fwrite(bytes, 1, SizeofResource(module.get(), found), stdout);
  return 0;
}

int type_library(const char* path) {
  const std::wstring wide(path, path + std::strlen(path));
  ITypeLib* raw = nullptr;
  if (FAILED(LoadTypeLibEx(wide.c_str(), REGKIND_NONE, &raw))) return 1;
  const std::unique_ptr<ITypeLib, com_releaser<ITypeLib>> library(raw);
  TLIBATTR* attributes = nullptr;
  if (FAILED(library->GetLibAttr(&attributes))) return 1;
  wchar_t guid[64] = {};
  StringFromGUID2(attributes->guid, guid, 64);
  const unsigned major = attributes->wMajorVerNum;
  const unsigned minor = attributes->wMinorVerNum;
  library->ReleaseTLibAttr(attributes);
  BSTR name = nullptr;
  if (FAILED(library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr))) return 1;
  std::printf("%ls %u.%u %ls %u\n", guid, major, minor, name, library->GetTypeInfoCount());
  SysFreeString(name);
  return 0;
}

std::string version_string(const std::vector<char>& block, const char* name) {
  const std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
  char* text = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &length) || length == 0) return "";
  return std::string(text, std::strlen(text));
}

int version(const char* path) {
  const DWORD size = GetFileVersionInfoSizeA(path, nullptr);
  if (size == 0) return 1;
  std::vector<char> block(size);
  if (!GetFileVersionInfoA(path, 0, size, block.data())) return 1;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof *fixed)
    return 1;
  std::printf("%u.%u.%u.%u %u.%u.%u.%u %s|%s\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
              HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS), HIWORD(fixed->dwProductVersionMS),
              LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS),
              version_string(block, "FileVersion").c_str(), version_string(block, "ProductVersion").c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The bytes as the resources hold them, line ends included.
  _setmode(_fileno(stdout), _O_BINARY);
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "message" && argc == 6) return message(argv[2], argv[3], argv[4], argv[5]);
  if (command == "string" && argc == 4) return string_resource(argv[2], argv[3]);
  if (command == "resource" && argc == 5) return raw_resource(argv[2], argv[3], argv[4]);
  if (command == "typelib" && argc == 3) return type_library(argv[2]);
  if (command == "version" && argc == 3) return version(argv[2]);
  std::fprintf(stderr, "usage: resprobe message|string|resource|typelib|version FILE ...\n");
  return 2;
}
