// Decimal numbers in text, read the way atoi and "%d" read them: the list
// files' numbers and the log files' header line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kvx::logd {

/// Reads a decimal number at `pos`: white space, an optional sign, then the
/// leading digits. The number, with `pos` moved past its digits; none (and
/// `pos` unchanged) when no digit follows. A number beyond the 32-bit range
/// saturates at its end instead of wrapping.
[[nodiscard]] std::optional<std::int32_t> read_decimal(std::string_view text, std::size_t& pos);
/// atoi: the leading number of `text`, or 0.
[[nodiscard]] std::int32_t decimal_or_zero(std::string_view text);

}  // namespace kvx::logd
