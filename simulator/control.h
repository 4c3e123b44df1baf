// Controlling a running driver simulator from the command line: the control
// words ("inject --port 2 --error 5 --slot 3", "status", ...), their parsing,
// and the client side of the control socket. The words are parsed by the
// client first (so bad arguments need no running simulator) and again by the
// simulator, which carries them out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "simulator/driver.h"

namespace kvx::simulator {

enum class control_verb { inject, fill, busy, unplug, plug, status, released, stop };

struct control_command {
  control_verb verb = control_verb::status;
  int port = -1;
  int error = 0;
  int slot = -1;
  std::uint32_t status_word = 0;
  std::optional<std::vector<std::uint8_t>> data;  ///< detail data for the slot
  std::optional<std::int64_t> key_offset;
  std::optional<std::uint32_t> event_id;
  bool fill = true;  ///< inject: fill the slot before writing the record
  std::uint32_t count = 0;
};

/// What a control request gives back: the exit status and the texts for
/// standard output and standard error.
struct control_reply {
  int status = 0;
  std::string out;
  std::string err;
};

/// True when `verb` is one of the control verbs.
bool is_control_verb(const std::string& verb);
/// Parses the words of one control request (verb first). 0, or 1 with a
/// message for a person in `error`.
[[nodiscard]] int parse_control(const std::vector<std::string>& words, control_command& out, std::string& error);

/// Words on the wire: u32 count, then u32 length and bytes for each.
std::vector<std::uint8_t> encode_words(const std::vector<std::string>& words);
[[nodiscard]] bool decode_words(std::span<const std::uint8_t> bytes, std::vector<std::string>& words);

/// Sends the words to the simulator serving this host root and waits for its
/// reply. 0 and `reply`, or 1 when no simulator answers.
[[nodiscard]] int send_control(const std::vector<std::string>& words, control_reply& reply);

/// The parts of a request that touch only the adapter's own state.
control_reply inject_error(adapter_state& adapter, const control_command& command);
control_reply fill_detail_slot(adapter_state& adapter, const control_command& command);
/// One line of `kvxsim status` for an adapter.
std::string status_line(const adapter_state& adapter, int shared_handles, int exclusive_handles);
/// `kvxsim released` for an adapter: a line "slot S: HEX" for each slot
/// handed back, oldest first, with the first 16 bytes its data had.
std::string released_lines(const adapter_state& adapter);

/// The usage text of kvxsim.
extern const char* const usage_text;

}  // namespace kvx::simulator
