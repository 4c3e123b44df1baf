// The error name list (errorlog_list.txt) and level list (errorlevel_list.txt).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "logd/state_store.h"

namespace kvx::logd {

inline constexpr int error_name_list = 0;   ///< errorlog_list.txt
inline constexpr int error_level_list = 1;  ///< errorlevel_list.txt

/// Loads one list into the store. 0 installed, 1 not (reported).
[[nodiscard]] int load_error_list(int kind);
/// The first name entry whose error_number equals `error_number`, or null.
const name_entry* find_error_name(std::int32_t error_number);
/// The first level entry whose level_number equals the name entry's, or null (also for a null name).
const level_entry* find_error_level(const name_entry* name);

/// Reads a decimal number at `pos` the way atoi and "%d" do: white space, an
/// optional sign, then the leading digits. false (and `pos` unchanged) when no
/// digit follows; otherwise `pos` moves past the digits. A number beyond the
/// 32-bit range saturates at its end instead of wrapping.
[[nodiscard]] bool read_decimal(std::string_view text, std::size_t& pos, std::int32_t& value);
/// atoi: the leading number of `text`, or 0.
std::int32_t decimal_or_zero(std::string_view text);

}  // namespace kvx::logd
