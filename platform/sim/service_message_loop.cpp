// The run loop's message queue on the simulated host: the only message is the
// quit, so the queue is a flag under a lock. The host has no COM.
#include <condition_variable>
#include <mutex>

#include "platform/service.h"

namespace kvx::platform {
namespace {

class sim_message_loop final : public message_loop {
 public:
  void post_quit() override {
    {
      const std::lock_guard<std::mutex> hold(lock_);
      quit_ = true;
    }
    posted_.notify_all();
  }

  void run() override {
    std::unique_lock<std::mutex> hold(lock_);
    posted_.wait(hold, [this] { return quit_; });
    quit_ = false;  // consumed, as GetMessageA removes WM_QUIT from the queue
  }

 private:
  std::mutex lock_;
  std::condition_variable posted_;
  bool quit_ = false;
};

}  // namespace

std::unique_ptr<message_loop> create_message_loop() { return std::make_unique<sim_message_loop>(); }

com_apartment::com_apartment() = default;
com_apartment::~com_apartment() = default;

}  // namespace kvx::platform
