#include "paramutil/parameter_text.h"

namespace kvx::paramutil {
namespace {

int digit_value(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (!hex) return -1;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<entry_location> find_entry(std::string_view text, std::string_view entry_name) {
  if (entry_name.empty()) return std::nullopt;
  const std::size_t begin = text.find(entry_name);
  if (begin == std::string_view::npos) return std::nullopt;
  entry_location entry;
  entry.begin = begin;
  const std::size_t semicolon = text.find(';', begin);
  const std::size_t value_end = semicolon == std::string_view::npos ? text.size() : semicolon;
  entry.end = semicolon == std::string_view::npos ? text.size() : semicolon + 1;
  const std::size_t equals = text.substr(0, value_end).find('=', begin + entry_name.size());
  if (equals != std::string_view::npos) {
    entry.has_value = true;
    entry.value_begin = equals + 1;
    entry.value_end = value_end;
  }
  return entry;
}

std::string without_entry(std::string_view text, const entry_location& entry) {
  std::string rebuilt(text.substr(0, entry.begin));
  rebuilt += text.substr(entry.end);
  return rebuilt;
}

std::optional<std::int32_t> leading_number(std::string_view value, bool hex) {
  std::size_t i = 0;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  // "0x" counts as a prefix only when a hexadecimal digit follows it; "0x;"
  // reads as the number 0, as the C library's conversions read it.
  if (hex && value.size() - i >= 3 && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X') &&
      digit_value(value[i + 2], true) >= 0) {
    i += 2;
  }
  const std::int64_t base = hex ? 16 : 10;
  const std::int64_t limit = negative ? std::int64_t{1} << 31 : (std::int64_t{1} << 31) - 1;
  std::int64_t number = 0;
  std::size_t digits = 0;
  for (; i < value.size(); ++i, ++digits) {
    const int d = digit_value(value[i], hex);
    if (d < 0) break;
    number = number * base + d;
    if (number > limit) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  return static_cast<std::int32_t>(negative ? -number : number);
}

}  // namespace kvx::paramutil
