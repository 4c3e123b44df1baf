#include "logd/hex_dump.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace kvx::logd {

void append_text(std::string& out, const char* format, ...) {
  std::array<char, 256> small{};
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(small.data(), small.size(), format, args);
  va_end(args);
  if (needed >= 0 && static_cast<std::size_t>(needed) < small.size()) {
    out.append(small.data(), static_cast<std::size_t>(needed));
  } else if (needed >= 0) {
    std::vector<char> large(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    out.append(large.data(), static_cast<std::size_t>(needed));
  }
  va_end(again);
}

void append_hex_dump(std::string& out, const char* name, std::int32_t shown_size, std::span<const std::uint8_t> bytes) {
  append_text(out, "---          HEX DUMP (%s:SIZE=0x%04x)         ---\n", name, static_cast<unsigned>(shown_size));
  out += "              :  0 1 2 3  4 5 6 7  8 9 A B  C D E F\n";
  out += "--------------:------------------------------------\n";
  constexpr std::string_view digits = "0123456789abcdef";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::size_t column = i % 16;
    if (column == 0) append_text(out, "0x%04x(%05u) : ", static_cast<unsigned>(i), static_cast<unsigned>(i));
    if (column == 4 || column == 8 || column == 12) out += ' ';
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0x0F];
    if (column == 15) out += '\n';
  }
}

std::string windows_text(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace kvx::logd
