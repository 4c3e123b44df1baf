#include "platform/sim/port_protocol.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <system_error>

#include "platform/sim/host_root.h"

namespace kvx::sim {
namespace {

constexpr std::size_t max_device_name = 32;

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t get_u32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  std::uint32_t v = 0;
  for (std::size_t i = 4; i > 0; --i) v = (v << 8) | bytes[offset + i - 1];
  return v;
}

bool valid_device_name(const std::string& name) {
  if (name.empty() || name.size() > max_device_name) return false;
  for (char c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool fill_address(const std::filesystem::path& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return true;
}

bool receive_all(int fd, std::uint8_t* out, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, out, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool device_name_of_path(const char* path, std::string& name) {
  if (path == nullptr || std::strncmp(path, "\\\\.\\", 4) != 0) return false;
  return device_name_of_dos_name(path + 4, name);
}

bool device_name_of_dos_name(const char* dos_name, std::string& name) {
  if (dos_name == nullptr) return false;
  std::string text = dos_name;
  if (!text.empty() && text.back() == ':') text.pop_back();
  if (!valid_device_name(text)) return false;
  name = lower(text);
  return true;
}

std::filesystem::path devices_directory() { return host_dir("devices"); }

std::filesystem::path device_socket_path(const std::string& name) { return devices_directory() / name; }

int connect_socket(const std::filesystem::path& path, unique_fd& fd) {
  sockaddr_un address;
  if (!fill_address(path, address)) return ENAMETOOLONG;
  unique_fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) return errno;
  int rc;
  do {
    rc = ::connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return errno;
  fd = std::move(s);
  return 0;
}

int listen_socket(const std::filesystem::path& path, unique_fd& fd) {
  sockaddr_un address;
  if (!fill_address(path, address)) return ENAMETOOLONG;
  unique_fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s) return errno;
  // Only a socket left behind by a server that died is replaced; any other
  // file of that name is left alone and the bind fails.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
  if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return errno;
  if (::listen(s.get(), SOMAXCONN) != 0) return errno;
  fd = std::move(s);
  return 0;
}

std::vector<std::uint8_t> encode_frame(frame_kind kind, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> out;
  out.reserve(frame_header_size + payload.size());
  put_u32(out, static_cast<std::uint32_t>(kind));
  put_u32(out, static_cast<std::uint32_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<std::uint8_t> encode_reply(std::uint32_t error, std::uint32_t returned,
                                       std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> payload;
  payload.reserve(reply_header_size + bytes.size());
  put_u32(payload, error);
  put_u32(payload, returned);
  payload.insert(payload.end(), bytes.begin(), bytes.end());
  return encode_frame(frame_kind::reply, payload);
}

int decode_frame(std::span<const std::uint8_t> buffered, frame_kind& kind, std::span<const std::uint8_t>& payload,
                 std::size_t& consumed) {
  if (buffered.size() < frame_header_size) return 0;
  const std::uint32_t length = get_u32(buffered, 4);
  if (length > max_frame_payload) return -1;
  if (buffered.size() - frame_header_size < length) return 0;
  kind = static_cast<frame_kind>(get_u32(buffered, 0));
  payload = buffered.subspan(frame_header_size, length);
  consumed = frame_header_size + length;
  return 1;
}

bool send_all(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool receive_frame(int fd, frame_kind& kind, std::vector<std::uint8_t>& payload) {
  std::uint8_t header[frame_header_size];
  if (!receive_all(fd, header, sizeof header)) return false;
  const std::uint32_t length = get_u32(header, 4);
  if (length > max_frame_payload) return false;
  kind = static_cast<frame_kind>(get_u32(header, 0));
  payload.assign(length, 0);
  return receive_all(fd, payload.data(), payload.size());
}

bool call(int fd, frame_kind kind, std::span<const std::uint8_t> payload, std::uint32_t& error, std::uint32_t& returned,
          std::vector<std::uint8_t>& reply_bytes) {
  if (!send_all(fd, encode_frame(kind, payload))) return false;
  frame_kind answer = frame_kind::reply;
  std::vector<std::uint8_t> reply;
  if (!receive_frame(fd, answer, reply) || answer != frame_kind::reply || reply.size() < reply_header_size) {
    return false;
  }
  error = get_u32(reply, 0);
  returned = get_u32(reply, 4);
  reply_bytes.assign(reply.begin() + reply_header_size, reply.end());
  return true;
}

}  // namespace kvx::sim
