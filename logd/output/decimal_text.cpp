#include "logd/output/decimal_text.h"

#include <limits>

namespace kvx::logd {
namespace {

constexpr std::string_view blank_chars = " \t\r\n\v\f";

}  // namespace

std::optional<std::int32_t> read_decimal(std::string_view text, std::size_t& pos) {
  std::size_t i = pos;
  while (i < text.size() && blank_chars.find(text[i]) != std::string_view::npos) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
  constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude <= limit + 1) magnitude = magnitude * 10 + (text[i] - '0');
  }
  pos = i;
  if (negative) return static_cast<std::int32_t>(magnitude > limit + 1 ? -(limit + 1) : -magnitude);
  return static_cast<std::int32_t>(magnitude > limit ? limit : magnitude);
}

std::int32_t decimal_or_zero(std::string_view text) {
  std::size_t pos = 0;
  return read_decimal(text, pos).value_or(0);
}

}  // namespace kvx::logd
