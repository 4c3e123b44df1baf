#include "simulator/background.h"

namespace kvx::simulator {

background_server::~background_server() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

int background_server::start(std::vector<adapter_config> adapters, std::string& error) {
  if (thread_.joinable()) {
    error = "the server is already running";
    return 1;
  }
  auto s = std::make_unique<server>(std::move(adapters));
  if (s->start(error) != 0) return 1;
  server_ = std::move(s);
  thread_ = std::thread([this] { server_->run(); });
  return 0;
}

int background_server::start(const std::string& config_text, std::string& error) {
  std::vector<adapter_config> adapters;
  if (parse_config(config_text, adapters, error) != 0) return 1;
  return start(std::move(adapters), error);
}

control_reply background_server::control(const std::vector<std::string>& words) {
  control_reply reply;
  if (send_control(words, reply) != 0) return {-1, {}, "the simulator did not answer\n"};
  return reply;
}

}  // namespace kvx::simulator
