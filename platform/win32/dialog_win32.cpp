// Message boxes on Windows.
#include <windows.h>

#include <vector>

#include "platform/dialog.h"

namespace kvx::platform {
namespace {

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

class win32_dialogs final : public dialogs {
 public:
  void show_message(const std::string& text, const std::string& caption) override {
    const std::wstring t = wide(text);
    const std::wstring c = wide(caption);
    ::MessageBoxW(nullptr, t.c_str(), c.c_str(), MB_OK);
  }
  void show_message_ansi(const std::string& text) override { ::MessageBoxA(nullptr, text.c_str(), nullptr, MB_OK); }
};

}  // namespace

dialogs& backend_dialogs() {
  static win32_dialogs instance;
  return instance;
}

}  // namespace kvx::platform
