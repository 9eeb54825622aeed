#include "bench/paced_server.h"

#include <algorithm>

PacedServer::PacedServer(Simulator& simulator, std::shared_ptr<SerialPort> line, unsigned baud)
    : simulator_(simulator),
      line_(std::move(line)),
      character_time_(
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / baud))) {
}

PacedServer::~PacedServer() {
  Stop();
}

void PacedServer::Start() {
  Stop();
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
}

void PacedServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<PacedServer::Frame> PacedServer::Frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

void PacedServer::Record(bool request, const std::string& text, std::size_t begin, std::size_t end,
                         Clock::time_point first, Clock::time_point last) {
  Frame frame;
  frame.request = request;
  frame.head = text.substr(begin, std::min<std::size_t>(9, end - begin));
  frame.characters = end - begin;
  frame.first = first;
  frame.last = last;
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.push_back(std::move(frame));
}

void PacedServer::Serve() {
  unsigned char buffer[512];
  std::string received;           // characters of the request being received
  Clock::time_point line_free{};  // when the inbound line has carried what came so far
  Clock::time_point request_first{};
  std::string replies;
  while (!stop_.load()) {
    const long count = line_->Read(buffer, sizeof buffer, 20, error_);
    if (count < 0) return;
    if (count == 0) continue;
    // The characters arrive one after another from the moment they were
    // written (or the line came free) on.
    const Clock::time_point written = Clock::now();
    Clock::time_point at = std::max(written, line_free);
    for (long i = 0; i < count; ++i) {
      const char character = static_cast<char>(buffer[i]);
      if (character == '~') {
        received.clear();
        request_first = at;
      }
      at += character_time_;
      received.push_back(character);
      if (character == '\r' && !received.empty() && received[0] == '~') {
        Record(true, received, 0, received.size(), request_first, at - character_time_);
      }
    }
    line_free = at;
    std::this_thread::sleep_until(at);
    replies.clear();
    simulator_.Receive(buffer, static_cast<std::size_t>(count), replies);
    if (!replies.empty() && !SendPaced(replies, at)) return;
  }
}

bool PacedServer::SendPaced(const std::string& frames, Clock::time_point start) {
  std::size_t sent = 0;
  std::size_t frame_begin = 0;
  Clock::time_point frame_first = start;
  while (sent < frames.size()) {
    // As many characters as the line has carried by now, on a fixed
    // schedule, so that waking late never slows the line down.
    const auto due = static_cast<std::size_t>((Clock::now() - start) / character_time_);
    if (due <= sent) {
      std::this_thread::sleep_until(start + character_time_ * static_cast<long>(sent + 1));
      continue;
    }
    const std::size_t upto = std::min(frames.size(), due);
    if (!line_->Write(reinterpret_cast<const unsigned char*>(frames.data()) + sent, upto - sent)) {
      error_ = "cannot write to the pseudo-terminal";
      return false;
    }
    for (std::size_t i = sent; i < upto; ++i) {
      if (frames[i] == '~') {
        frame_begin = i;
        frame_first = start + character_time_ * static_cast<long>(i);
      }
      if (frames[i] == '\r') {
        Record(false, frames, frame_begin, i + 1, frame_first,
               start + character_time_ * static_cast<long>(i + 1));
      }
    }
    sent = upto;
  }
  return true;
}
