// kvxls: lists every adapter that kvxwdd runs, with its properties as the
// driver reports them. The listing goes to standard output, request errors
// to standard error.
#pragma once

#include <cstdint>
#include <string>

namespace kvx::listtool {

inline constexpr const char* kvxls_version = "1.16";

/// The whole program: banner, one block per adapter on ports 0..127, end
/// line. Detail mode only for exactly one argument "-DN". Always 0.
int run_listing(int argc, const char* const* argv);

/// The model name for a parts number by its first 7 characters, or "Unknown Model".
const char* model_name(const char* parts_number);
/// The text of an HBAINFO connection type byte, "-" when unknown.
const char* connection_type_text(std::uint8_t type);
/// "%x Gbps", or "-" for 0.
std::string link_speed_text(std::uint8_t speed);

}  // namespace kvx::listtool
