// The wire between the simulated host's port devices and the process that
// serves them (the driver simulator). Each port device is a Unix-domain
// stream socket <host root>/devices/<name> ("scsi2" for "\\.\scsi2:"); one
// connection is one open handle.
//
// Every message is a frame: u32 kind, u32 payload length, payload (all
// little-endian). The client speaks first and waits for exactly one reply
// frame to each of its frames:
//   open       u32 magic, u32 version, u32 share mode (0 shared, 1 exclusive)
//   query      u32 magic, u32 version (QueryDosDeviceA; no handle is opened)
//   io_control u32 control code, then the buffer's bytes
//   close      empty: the server releases the handle before it answers, so a
//              close is finished when it returns, as CloseHandle is
//   control    the driver simulator's own control words (see simulator/)
// and the reply is always: u32 system error code, u32 returned byte count,
// then the reply bytes (the buffer after io_control, the device object name
// after query, text after control).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "platform/sim/unique_fd.h"

namespace kvx::sim {

enum class frame_kind : std::uint32_t { open = 1, query = 2, io_control = 3, close = 4, control = 5, reply = 0x80 };

inline constexpr std::uint32_t port_protocol_magic = 0x4B565850;  // "PXVK"
inline constexpr std::uint32_t port_protocol_version = 1;
inline constexpr std::size_t frame_header_size = 8;
/// Larger frames are refused by both sides: far above any control packet.
inline constexpr std::uint32_t max_frame_payload = 1u << 20;
/// Reply header: error and returned count.
inline constexpr std::size_t reply_header_size = 8;

/// The device name of a Windows device path "\\.\NAME" or "\\.\NAME:" (in
/// lower case), or false for any other path. Names are letters and digits
/// only, so a path can never reach outside the devices directory.
[[nodiscard]] bool device_name_of_path(const char* path, std::string& name);
/// The device name of a DOS device name "NAME:" or "NAME" (QueryDosDeviceA).
[[nodiscard]] bool device_name_of_dos_name(const char* dos_name, std::string& name);

/// <host root>/devices, created when missing.
std::filesystem::path devices_directory();
/// The socket of a device, or of the simulator's control channel ("kvxsim.control").
std::filesystem::path device_socket_path(const std::string& name);
inline constexpr const char* control_socket_name = "kvxsim.control";

/// Connects to the socket at `path`. 0 and `fd`, or the errno of the failure
/// (ENAMETOOLONG when the path does not fit a socket address).
[[nodiscard]] int connect_socket(const std::filesystem::path& path, unique_fd& fd);
/// Binds and listens (non-blocking) at `path`, replacing a stale socket file.
/// 0 and `fd`, or the errno of the failure.
[[nodiscard]] int listen_socket(const std::filesystem::path& path, unique_fd& fd);

/// A frame's bytes.
std::vector<std::uint8_t> encode_frame(frame_kind kind, std::span<const std::uint8_t> payload);
/// A reply frame's bytes: error, returned count, then `bytes`.
std::vector<std::uint8_t> encode_reply(std::uint32_t error, std::uint32_t returned,
                                       std::span<const std::uint8_t> bytes);

/// Looks for one whole frame at the start of `buffered`: 1 with kind, payload
/// and the bytes it takes; 0 when more bytes are needed; -1 when the bytes
/// cannot be a frame (a payload above max_frame_payload).
int decode_frame(std::span<const std::uint8_t> buffered, frame_kind& kind, std::span<const std::uint8_t>& payload,
                 std::size_t& consumed);

/// Blocking, whole-message I/O on a connected socket (EINTR retried, no SIGPIPE).
[[nodiscard]] bool send_all(int fd, std::span<const std::uint8_t> bytes);
/// One frame: false on end of stream, error or a malformed frame.
[[nodiscard]] bool receive_frame(int fd, frame_kind& kind, std::vector<std::uint8_t>& payload);

/// One request and its reply: sends a frame, then reads the reply frame.
/// False when the peer is gone or answers with anything but a reply frame.
[[nodiscard]] bool call(int fd, frame_kind kind, std::span<const std::uint8_t> payload, std::uint32_t& error,
                        std::uint32_t& returned, std::vector<std::uint8_t>& reply_bytes);

}  // namespace kvx::sim
