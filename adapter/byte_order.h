// Explicit byte-order access to packet and record bytes. Fields in control
// packets are little-endian and need not be aligned, so they are always
// assembled byte by byte, never read through a wider pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kvx::adapter {

/// The value of `width` bytes at `offset`, or 0 when they do not all lie
/// inside `bytes` (callers that must tell the two apart check the size first).
inline std::uint64_t get_le(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t width) {
  if (offset > bytes.size() || width > bytes.size() - offset) return 0;
  std::uint64_t value = 0;
  for (std::size_t i = width; i > 0; --i) value = (value << 8) | bytes[offset + i - 1];
  return value;
}

inline std::uint32_t get_u32_le(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(get_le(bytes, offset, 4));
}
inline std::uint64_t get_u64_le(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return get_le(bytes, offset, 8);
}

/// Big-endian (network order) 32-bit value, or 0 outside `bytes`.
inline std::uint32_t get_u32_be(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (offset > bytes.size() || 4 > bytes.size() - offset) return 0;
  return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
         (std::uint32_t{bytes[offset + 2]} << 8) | std::uint32_t{bytes[offset + 3]};
}

/// Writes the low `width` bytes of `value` at `offset`; false (nothing
/// written) when they would not all lie inside `bytes`.
inline bool put_le(std::span<std::uint8_t> bytes, std::size_t offset, std::size_t width, std::uint64_t value) {
  if (offset > bytes.size() || width > bytes.size() - offset) return false;
  for (std::size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  return true;
}

inline bool put_u32_le(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  return put_le(bytes, offset, 4, value);
}
inline bool put_u64_le(std::span<std::uint8_t> bytes, std::size_t offset, std::uint64_t value) {
  return put_le(bytes, offset, 8, value);
}

inline bool put_u32_be(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  if (offset > bytes.size() || 4 > bytes.size() - offset) return false;
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
  return true;
}

}  // namespace kvx::adapter
