#include "logd/output/crlf_text.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace kvx::logd {

void append_windows_text(std::string& out, std::string_view text) {
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t end = text.find('\n', from);
    if (end == std::string_view::npos) {
      out.append(text.substr(from));
      return;
    }
    out.append(text.substr(from, end - from));
    out += "\r\n";
    from = end + 1;
  }
}

void append_text(std::string& out, const char* format, ...) {
  std::array<char, 256> small{};
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(small.data(), small.size(), format, args);
  va_end(args);
  if (needed >= 0 && static_cast<std::size_t>(needed) < small.size()) {
    append_windows_text(out, std::string_view(small.data(), static_cast<std::size_t>(needed)));
  } else if (needed >= 0) {
    std::vector<char> large(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    append_windows_text(out, std::string_view(large.data(), static_cast<std::size_t>(needed)));
  }
  va_end(again);
}

}  // namespace kvx::logd
