#include "logd/output/hex_dump.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "logd/output/crlf_text.h"

namespace kvx::logd {
namespace {

constexpr std::string_view hex_digits = "0123456789abcdef";

// The two digits of every byte value, in order: "000102...feff".
constexpr std::array<char, 512> hex_pairs = [] {
  std::array<char, 512> pairs{};
  for (std::size_t b = 0; b < 256; ++b) {
    pairs[2 * b] = hex_digits[b >> 4];
    pairs[2 * b + 1] = hex_digits[b & 0x0F];
  }
  return pairs;
}();

// One full dump line: "0x%04x(%05d) :" then four groups of a space and 8
// digits, CR LF.
constexpr std::size_t line_size = 15 + 4 * (1 + 8) + 2;
// Room for a line whose offset is too large for those widths: its offset
// text is made by snprintf into 32 characters at most.
constexpr std::size_t line_room = line_size - 15 + 31;

// Writes "0x%04x(%05d) : " into `text` (15 characters) for offsets that fit
// both widths; false for larger ones.
bool offset_text(std::size_t i, char* text) {
  if (i > 0xFFFF) return false;
  text[0] = '0';
  text[1] = 'x';
  for (int d = 0; d < 4; ++d) text[2 + d] = hex_digits[(i >> (12 - 4 * d)) & 0xF];
  text[6] = '(';
  std::size_t rest = i;
  for (int d = 4; d >= 0; --d) {
    text[7 + d] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  }
  text[12] = ')';
  text[13] = ' ';
  text[14] = ':';
  return true;
}

}  // namespace

void append_hex_dump(std::string& out, const char* name, std::int32_t shown_size, std::span<const std::uint8_t> bytes) {
  append_text(out, "---          HEX DUMP (%s:SIZE=0x%04x)         ---\n", name, static_cast<unsigned>(shown_size));
  out += "              :  0 1 2 3  4 5 6 7  8 9 A B  C D E F\r\n";
  out += "--------------:------------------------------------\r\n";
  // The lines are written straight into `out`, made long enough for all of
  // them: the dumps are most of an entry's text.
  const std::size_t lines = (bytes.size() + 15) / 16;
  std::size_t at = out.size();
  out.resize(at + lines * line_room);
  for (std::size_t start = 0; start < bytes.size(); start += 16) {
    char* line = out.data() + at;
    if (offset_text(start, line)) {
      at += 15;
    } else {
      std::array<char, 32> wide{};
      const int made = std::snprintf(wide.data(), wide.size(), "0x%04x(%05u) :", static_cast<unsigned>(start),
                                     static_cast<unsigned>(start));
      const std::size_t size = made > 0 ? std::min(static_cast<std::size_t>(made), wide.size() - 1) : 0;
      std::copy_n(wide.data(), size, line);
      at += size;
    }
    const std::size_t end = std::min(bytes.size(), start + 16);
    char* to = out.data() + at;
    for (std::size_t i = start; i < end; ++i) {
      if ((i - start) % 4 == 0) *to++ = ' ';
      std::memcpy(to, hex_pairs.data() + 2 * bytes[i], 2);
      to += 2;
    }
    if (end - start == 16) {
      *to++ = '\r';
      *to++ = '\n';
    }
    at = static_cast<std::size_t>(to - out.data());
  }
  out.resize(at);
}

}  // namespace kvx::logd
