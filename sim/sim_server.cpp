#include "sim/sim_server.h"

SimServer::SimServer(Simulator& simulator, std::shared_ptr<SerialPort> line)
    : simulator_(simulator), line_(std::move(line)) {}

SimServer::~SimServer() {
  Stop();
}

void SimServer::Start() {
  Stop();
  stop_ = false;
  thread_ = std::thread([this] {
    std::string error;
    Serve(error);
  });
}

void SimServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

bool SimServer::Serve(std::string& error) {
  unsigned char buffer[512];
  std::string replies;
  while (!stop_.load()) {
    const long count = line_->Read(buffer, sizeof buffer, 20, error);
    if (count < 0) return false;
    if (count == 0) continue;
    replies.clear();
    simulator_.Receive(buffer, static_cast<std::size_t>(count), replies);
    if (!replies.empty() &&
        !line_->Write(reinterpret_cast<const unsigned char*>(replies.data()), replies.size())) {
      error = "cannot write to " + line_->Path();
      return false;
    }
  }
  return true;
}
