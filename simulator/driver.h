// The simulated driver kvxwdd behind one adapter's port device: its detail-data
// slots and its answers to the control packets. Pure logic over bytes; the
// server (server.h) moves the packets.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <string>

#include "adapter/control_packet.h"
#include "simulator/config.h"

namespace kvx::simulator {

/// An occupied slot that was handed back, with the first bytes of its data.
struct released_slot {
  int slot = 0;
  std::array<std::uint8_t, 16> head{};
};
/// How many releases an adapter remembers (the latest).
inline constexpr std::size_t release_history_limit = 4096;

struct adapter_state {
  adapter_config config;
  std::array<std::array<std::uint8_t, adapter::detail_slot_size>, adapter::detail_slot_count> slots{};
  std::uint16_t occupied = 0;   ///< bit k: slot k holds detail data not yet released
  std::uint32_t busy_left = 0;  ///< exchanges still to be answered ERROR_BUSY
  std::uint64_t exchanges = 0;  ///< every exchange answered, busy ones included
  bool plugged = true;
  std::deque<released_slot> released;  ///< occupied slots handed back, oldest first
};

struct answer {
  std::uint32_t error = 0;     ///< a Windows error code; 0 success
  std::uint32_t returned = 0;  ///< the byte count DeviceIoControl gives back
};

/// Answers one DeviceIoControl on the adapter's port device, in place in
/// `buffer` (input and output). A packet that is not a well-formed request
/// of the control protocol fails with error_invalid_parameter and leaves the
/// buffer alone; so does every failure.
answer answer_packet(adapter_state& adapter, std::uint32_t code, std::span<std::uint8_t> buffer);

/// Fills slot `slot` (0..15) with `data` (at most 1024 bytes, the rest zero)
/// and marks it occupied. False for a bad slot or data.
[[nodiscard]] bool fill_slot(adapter_state& adapter, int slot, std::span<const std::uint8_t> data);

/// The detail data that a slot gets when none is given: recognisable bytes
/// built from the error number and slot (byte i = error + slot + i, mod 256).
std::array<std::uint8_t, adapter::detail_slot_size> default_detail_data(int error, int slot);

}  // namespace kvx::simulator
