// The hive files of the simulated registry and the lock that serialises
// their changes.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/sim/hive.h"
#include "platform/sim/host_root.h"
#include "platform/sim/unique_fd.h"
#include "platform/win_codes.h"

namespace kvx::sim {
namespace {

int io_failure(hive_error& error, const std::string& what, int err) {
  error.code = err == EACCES || err == EPERM || err == EROFS ? win::error_access_denied : win::error_gen_failure;
  error.message = what + ": " + std::strerror(err);
  return 1;
}

// Reads the whole file; `missing` tells that it does not exist.
int read_file(const std::filesystem::path& path, std::string& out, bool& missing, hive_error& error) {
  missing = false;
  unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) {
      missing = true;
      return 0;
    }
    return io_failure(error, "cannot open " + path.string(), errno);
  }
  out.clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_failure(error, "cannot read " + path.string(), errno);
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
}

int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace

std::filesystem::path hive_file(hive_root root) {
  return host_root() / "registry" / (std::string(root_name(root)) + ".reg");
}

hive_lock::~hive_lock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the flock
}

int hive_lock::acquire(hive_error& error) {
  if (fd_ >= 0) return 0;
  const std::filesystem::path path = host_dir("registry") / "registry.lock";
  unique_fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0) return io_failure(error, "cannot open the registry lock " + path.string(), errno);
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return io_failure(error, "cannot lock " + path.string(), errno);
  }
  fd_ = fd.release();
  return 0;
}

namespace {

// Parses a hive file's text for `root`; an empty text is an empty hive.
int parse_hive(hive_root root, const std::filesystem::path& path, const std::string& text, reg_key& top,
               hive_error& error) {
  top = reg_key();
  if (text.empty()) return 0;
  std::vector<reg_edit> edits;
  if (parse_reg_text(text, edits, error) != 0) {
    error.message = path.string() + ": " + error.message;
    return 1;
  }
  for (const reg_edit& e : edits) {
    if (e.root != root) {
      error.code = win::error_registry_corrupt;
      error.message = path.string() + ": holds a key of " + root_name(e.root) + ", which belongs in its own hive file";
      return 1;
    }
  }
  apply_edits(edits, root, top);
  return 0;
}

// The last parse of each root's file, with the text it was made from.
struct parsed_hive {
  std::string text;
  std::shared_ptr<const reg_key> top;
};

std::mutex parsed_lock;
std::array<parsed_hive, 2> parsed;  // guarded by parsed_lock; [0] local machine, [1] classes root

}  // namespace

int load_hive(hive_root root, reg_key& top, hive_error& error) {
  std::shared_ptr<const reg_key> shared;
  if (read_hive(root, shared, error) != 0) return 1;
  top = *shared;
  return 0;
}

int read_hive(hive_root root, std::shared_ptr<const reg_key>& top, hive_error& error) {
  const std::filesystem::path path = hive_file(root);
  std::string text;
  bool missing = false;
  if (read_file(path, text, missing, error) != 0) return 1;
  if (missing) text.clear();
  parsed_hive& last = parsed[root == hive_root::local_machine ? 0 : 1];
  {
    std::lock_guard<std::mutex> guard(parsed_lock);
    if (last.top && last.text == text) {
      top = last.top;
      return 0;
    }
  }
  auto made = std::make_shared<reg_key>();
  if (parse_hive(root, path, text, *made, error) != 0) return 1;
  top = made;
  std::lock_guard<std::mutex> guard(parsed_lock);
  last.text = std::move(text);
  last.top = std::move(made);
  return 0;
}

int store_hive(hive_root root, const reg_key& top, hive_error& error) {
  host_dir("registry");
  return write_file_atomically(hive_file(root), format_reg_text(root, {}, top), error);
}

int write_file_atomically(const std::filesystem::path& path, std::string_view text, hive_error& error) {
  std::filesystem::path temp = path;
  temp += ".new";
  {
    unique_fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) return io_failure(error, "cannot create " + temp.string(), errno);
    if (write_all(fd.get(), text) != 0 || ::fsync(fd.get()) != 0 || fd.close() != 0) {
      const int err = errno;
      ::unlink(temp.c_str());
      return io_failure(error, "cannot write " + temp.string(), err);
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return io_failure(error, "cannot replace " + path.string(), err);
  }
  // The rename itself reaches the disk with the directory.
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  unique_fd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.get() >= 0) ::fsync(dir_fd.get());
  return 0;
}

}  // namespace kvx::sim
