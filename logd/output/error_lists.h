// The error name list (errorlog_list.txt) and level list (errorlevel_list.txt).
#pragma once

#include <cstdint>

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

}  // namespace kvx::logd
