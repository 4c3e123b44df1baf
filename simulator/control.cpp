#include "simulator/control.h"

#include "adapter/byte_order.h"
#include "platform/sim/port_protocol.h"
#include "simulator/error_record.h"

namespace kvx::simulator {

int send_control(const std::vector<std::string>& words, control_reply& reply) {
  sim::unique_fd fd;
  if (sim::connect_socket(sim::device_socket_path(sim::control_socket_name), fd) != 0) return 1;
  std::uint32_t status = 0;
  std::uint32_t out_length = 0;
  std::vector<std::uint8_t> text;
  if (!sim::call(fd.get(), sim::frame_kind::control, encode_words(words), status, out_length, text) ||
      out_length > text.size()) {
    return 1;
  }
  reply.status = static_cast<int>(status);
  reply.out.assign(text.begin(), text.begin() + out_length);
  reply.err.assign(text.begin() + out_length, text.end());
  return 0;
}

control_reply inject_error(adapter_state& adapter, const control_command& command) {
  const std::int64_t key_offset = command.key_offset ? *command.key_offset : configured_key_offset();
  if (key_offset < 0 || key_offset > max_key_offset) {
    return {
        1,
        {},
        "kvxsim: unique_id_position " + std::to_string(key_offset) + " cannot hold an event key; give --key-offset\n"};
  }
  const adapter_state before = adapter;
  if (command.fill) {
    const auto pattern = default_detail_data(command.error, command.slot);
    const std::span<const std::uint8_t> data = command.data ? std::span<const std::uint8_t>(*command.data) : pattern;
    if (!fill_slot(adapter, command.slot, data)) return {1, {}, "kvxsim: the slot cannot be filled\n"};
  }
  const std::uint32_t event_id = command.event_id ? *command.event_id : driver_event_id(command.error);
  const std::uint32_t key = event_key(command.error, command.slot, adapter.config.pci_location);
  const auto data = error_packet_data(event_id, command.status_word, key, static_cast<std::size_t>(key_offset));
  const std::int64_t number = write_driver_record(event_id, adapter.config.device_object, data);
  if (number < 0) {
    // Without its record the error did not happen: the slot goes back as it was.
    adapter.slots = before.slots;
    adapter.occupied = before.occupied;
    return {1, {}, "kvxsim: the record cannot be written to the System log\n"};
  }
  return {0, "System record " + std::to_string(number) + "\n", {}};
}

}  // namespace kvx::simulator
