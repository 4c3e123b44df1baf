// Registry access of hbautil: the Device key and its text values. Every
// operation opens its key and closes it again before it returns; failures
// are not reported here (a value that cannot be read counts as missing).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace kvx::paramutil {

/// True when the driver's service key can be opened with full access.
[[nodiscard]] bool driver_installed(platform::registry& reg);

/// Opens the Device key without creating it; false when it cannot be opened.
[[nodiscard]] bool open_device_key(platform::registry& reg, platform::unique_reg_key& out);
/// Opens the Device key, creating it and the keys above it when missing.
[[nodiscard]] bool create_device_key(platform::registry& reg, platform::unique_reg_key& out);

/// True when the value can be queried (its type and content are not examined).
[[nodiscard]] bool value_exists(platform::registry_key& key, const char* name);

/// Reads a value whole, whatever its size, as text: it ends at the first NUL,
/// or at the stored length when it has none. False when it cannot be read.
[[nodiscard]] bool read_text_value(platform::registry_key& key, const char* name, std::string& out);

/// Writes `text` as REG_SZ whose byte count is the text's length, without a
/// terminating NUL; an empty text is written as one NUL byte. Gives the
/// registry's result.
std::uint32_t write_text_value(platform::registry_key& key, const char* name, std::string_view text);

}  // namespace kvx::paramutil
