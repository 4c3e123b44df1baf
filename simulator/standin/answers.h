// The stand-in driver's replies, made by the driver simulator's adapter
// model: for every request of the control protocol, what the adapter of a
// configuration answers, as the driver's answer record (standin_protocol.h).
#pragma once

#include <cstdint>
#include <vector>

#include "simulator/config.h"
#include "simulator/standin/standin_protocol.h"

namespace kvx::standin {

/// The NTSTATUS a driver completes a request with so that GetLastError gives
/// `error`; 0 when the stand-in has none for it.
std::int32_t nt_status_for(std::uint32_t error);

/// The answers of `adapter` to every request of the control protocol, with
/// detail-data slots left to the driver. 0, or 1 with `error` naming a refusal
/// that has no NTSTATUS.
[[nodiscard]] int prepare_answers(const simulator::adapter_config& adapter, std::vector<kvxstand_answer>& out,
                                  std::string& error);

/// The answers of the request kinds in `refused` failing with their errors
/// (`kvxstand fail`). 0, or 1 with `error` as above.
[[nodiscard]] int refusal_answers(int port, const std::vector<simulator::refused_request>& refused,
                                  std::vector<kvxstand_answer>& out, std::string& error);

}  // namespace kvx::standin
