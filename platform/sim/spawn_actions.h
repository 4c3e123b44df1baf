// The simulated host's owner of posix_spawn file actions: destroyed on every
// path, and failed for good once one action cannot be added, so a caller
// checks ok() once before the spawn.
#pragma once

#include <spawn.h>

#include <filesystem>

namespace kvx::sim {

class spawn_actions {
 public:
  spawn_actions() : initialised_(::posix_spawn_file_actions_init(&actions_) == 0), ok_(initialised_) {}
  ~spawn_actions() {
    if (initialised_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  spawn_actions(const spawn_actions&) = delete;
  spawn_actions& operator=(const spawn_actions&) = delete;

  /// Opens `path` as `fd` in the child (made 0644 when `flags` create it).
  bool open(int fd, const std::filesystem::path& path, int flags) {
    ok_ = ok_ && ::posix_spawn_file_actions_addopen(&actions_, fd, path.c_str(), flags, 0644) == 0;
    return ok_;
  }
  bool dup(int from, int to) {
    ok_ = ok_ && ::posix_spawn_file_actions_adddup2(&actions_, from, to) == 0;
    return ok_;
  }
  /// Closes every descriptor from `fd` up in the child.
  bool close_from(int fd) {
    ok_ = ok_ && ::posix_spawn_file_actions_addclosefrom_np(&actions_, fd) == 0;
    return ok_;
  }
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool initialised_;  ///< destroyed at the end even when an action failed
  bool ok_;
};

}  // namespace kvx::sim
