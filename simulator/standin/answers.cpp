#include "simulator/standin/answers.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "adapter/control_packet.h"
#include "platform/port_device.h"
#include "platform/win_codes.h"
#include "simulator/driver.h"

namespace kvx::standin {
namespace {

using namespace kvx::adapter;
using simulator::request_kind;

struct request_shape {
  request_kind kind;
  bool adapter_data;      ///< CC_ADAPTER_DATA, else CC_COMMAND
  std::uint8_t selector;  ///< the sub-command or the data type
};

constexpr request_shape requests[] = {
    {request_kind::pci_location, false, PCI_LOCATION}, {request_kind::errlog, false, ERRLOG},
    {request_kind::slot_release, false, SLOT_RELEASE}, {request_kind::hbainfo, false, HBAINFO},
    {request_kind::pkgtype, false, PkgType},           {request_kind::versions, true, DATA_VERSIONS},
    {request_kind::port_names, true, DATA_PORT_NAMES}, {request_kind::parts_number, true, DATA_PARTS_NUMBER},
};

struct status_pair {
  std::uint32_t error;
  std::uint32_t status;
};

// The statuses whose Win32 error (RtlNtStatusToDosError) is the one wanted.
constexpr status_pair statuses[] = {
    {win::error_file_not_found, 0xC0000034},     // STATUS_OBJECT_NAME_NOT_FOUND
    {1, 0xC0000010},                             // STATUS_INVALID_DEVICE_REQUEST: ERROR_INVALID_FUNCTION
    {win::error_access_denied, 0xC0000022},      // STATUS_ACCESS_DENIED
    {win::error_invalid_handle, 0xC0000008},     // STATUS_INVALID_HANDLE
    {win::error_not_enough_memory, 0xC0000017},  // STATUS_NO_MEMORY
    {win::error_gen_failure, 0xC0000001},        // STATUS_UNSUCCESSFUL
    {win::error_sharing_violation, 0xC0000043},  // STATUS_SHARING_VIOLATION
    {win::error_invalid_parameter, 0xC000000D},  // STATUS_INVALID_PARAMETER
    {win::error_busy, 0x80000011},               // STATUS_DEVICE_BUSY
    {1117, 0xC0000185},                          // STATUS_IO_DEVICE_ERROR: ERROR_IO_DEVICE
    {1234, 0xC000023F},                          // STATUS_PORT_UNREACHABLE: ERROR_PORT_UNREACHABLE
};

std::vector<std::uint8_t> request_packet(const request_shape& shape) {
  std::vector<std::uint8_t> packet(shape.adapter_data ? adapter_data_packet_size(shape.selector)
                                                      : command_packet_size(shape.selector));
  const int rc = shape.adapter_data ? build_adapter_data_packet(packet, shape.selector)
                                    : build_command_packet(packet, shape.selector, 0);
  return rc == 0 ? packet : std::vector<std::uint8_t>{};
}

/// The answer's identity: the request's size and its header with the selector.
kvxstand_answer answer_for(int port, const std::vector<std::uint8_t>& request) {
  kvxstand_answer a{};
  a.port = static_cast<unsigned>(port);
  a.packet_size = static_cast<unsigned>(request.size());
  a.match_length = header_length + 1;
  std::memcpy(a.match, request.data(), a.match_length);
  return a;
}

std::string refusal_message(std::uint32_t error) {
  return "the stand-in driver cannot fail a request with error " + std::to_string(error) +
         " (it gives 1, 2, 5, 6, 8, 31, 32, 87, 170, 1117, 1234)";
}

}  // namespace

std::int32_t nt_status_for(std::uint32_t error) {
  for (const status_pair& p : statuses) {
    if (p.error == error) return static_cast<std::int32_t>(p.status);
  }
  return 0;
}

int prepare_answers(const simulator::adapter_config& adapter, std::vector<kvxstand_answer>& out, std::string& error) {
  std::vector<kvxstand_answer> answers;
  simulator::adapter_state model;
  model.config = adapter;
  for (const request_shape& shape : requests) {
    const std::vector<std::uint8_t> request = request_packet(shape);
    std::vector<std::uint8_t> reply = request;
    const simulator::answer result = simulator::answer_packet(model, platform::ioctl_scsi_miniport, reply);
    kvxstand_answer a = answer_for(adapter.port, request);
    if (result.error != win::error_success) {
      a.status = nt_status_for(result.error);
      if (a.status == 0) {
        error = "port " + std::to_string(adapter.port) + ": " + refusal_message(result.error);
        return 1;
      }
      answers.push_back(a);
      continue;
    }
    // The ERRLOG reply's payload is the driver's: it holds the slots.
    std::size_t limit = reply.size();
    if (shape.selector == ERRLOG && !shape.adapter_data) {
      a.kind = KVXSTAND_REPLY_ERRLOG;
      a.zero_from = header_length;
      a.bitmap_offset = header_length;
      a.slots_offset = header_length + detail_slots_offset;
      limit = header_length;
    } else if (shape.selector == SLOT_RELEASE && !shape.adapter_data) {
      a.kind = KVXSTAND_REPLY_RELEASE;
      a.index_offset = header_length + command_slot_offset;
      a.invalid_status = static_cast<unsigned>(nt_status_for(win::error_invalid_parameter));
    }
    // The reply is the request with the bytes the model changed: the span from
    // the first to the last changed byte.
    std::size_t first = 0;
    while (first < limit && reply[first] == request[first]) ++first;
    std::size_t end = limit;
    while (end > first && reply[end - 1] == request[end - 1]) --end;
    if (end - first > KVXSTAND_MAX_OVERLAY) {
      error = "a reply changes more bytes than the stand-in driver takes";
      return 1;
    }
    a.overlay_offset = static_cast<unsigned>(first);
    a.overlay_length = static_cast<unsigned>(end - first);
    std::copy(reply.begin() + static_cast<std::ptrdiff_t>(first), reply.begin() + static_cast<std::ptrdiff_t>(end),
              a.overlay);
    answers.push_back(a);
  }
  out = std::move(answers);
  return 0;
}

int refusal_answers(int port, const std::vector<simulator::refused_request>& refused, std::vector<kvxstand_answer>& out,
                    std::string& error) {
  std::vector<kvxstand_answer> answers;
  for (const simulator::refused_request& r : refused) {
    for (const request_shape& shape : requests) {
      if (shape.kind != r.kind) continue;
      kvxstand_answer a = answer_for(port, request_packet(shape));
      a.status = nt_status_for(r.error);
      if (a.status == 0) {
        error = refusal_message(r.error);
        return 1;
      }
      answers.push_back(a);
    }
  }
  out = std::move(answers);
  return 0;
}

}  // namespace kvx::standin
