#include "apps/common/background_output.hpp"

#include <stdexcept>

namespace apps {

BackgroundOutput::BackgroundOutput(std::FILE* stream) : stream_(stream) {
  filling_.reserve(kBuffer);
  writing_.reserve(kBuffer);
  thread_ = std::thread([this] { run(); });
}

BackgroundOutput::~BackgroundOutput() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundOutput::fail() { throw std::runtime_error("cannot write to standard output"); }

void BackgroundOutput::write(std::string_view piece) {
  while (!piece.empty()) {
    const std::size_t n = std::min(piece.size(), kBuffer - filling_.size());
    filling_.append(piece.data(), n);
    piece.remove_prefix(n);
    if (filling_.size() == kBuffer) hand_over();
  }
}

void BackgroundOutput::hand_over() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
  if (failed_) fail();
  filling_.swap(writing_);
  filling_.clear();
  busy_ = true;
  lock.unlock();
  changed_.notify_all();
}

void BackgroundOutput::finish() {
  if (!filling_.empty()) hand_over();
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
  if (failed_ || std::fflush(stream_) != 0) fail();
}

void BackgroundOutput::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return busy_ || stop_; });
    if (!busy_) return;
    lock.unlock();
    const bool ok = std::fwrite(writing_.data(), 1, writing_.size(), stream_) == writing_.size();
    lock.lock();
    if (!ok) failed_ = true;
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace apps
