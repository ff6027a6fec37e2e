#include "JorvuVornHelper/GameManager/OBD/Core/OBDBuffer.hpp"

void OBDBuffer::AddElement(Element element) {
  bool wake = false;
  {
    std::unique_lock lock(mutex_);
    if (Bounded()) {
      changed_.wait(lock, [this] { return quit_ || bytes_ < capacity_; });
      bytes_ += static_cast<std::int64_t>(element.data.size());
    }
    wake = queue_.empty();
    queue_.push_back(std::move(element));
  }
  if (wake) changed_.notify_all();
}

bool OBDBuffer::GetElement(Element& element) {
  bool wake = false;
  bool taken = false;
  {
    std::unique_lock lock(mutex_);
    if (quit_) return false;
    changed_.wait(lock, [this] { return quit_ || !queue_.empty(); });
    if (quit_) return false;
    Element& front = queue_.front();
    if (!front.IsEmpty()) {
      if (Bounded()) {
        const bool wasFull = bytes_ >= capacity_;
        bytes_ -= static_cast<std::int64_t>(front.data.size());
        wake = wasFull && bytes_ < capacity_;
      }
      element = std::move(front);
      taken = true;
    }
    queue_.pop_front();
  }
  if (wake) changed_.notify_all();
  return taken;
}

void OBDBuffer::Quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
}

std::size_t OBDBuffer::Size() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

std::int64_t OBDBuffer::QueuedBytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}
