#include "JorvuVornHelper/GameManager/OBD/Core/OBDBuffer.hpp"

void OBDBuffer::AddElement(Element element) {
  bool wake = false;
  {
    std::unique_lock lock(mutex_);
    if (Bounded()) {
      changed_.wait(lock, [this] { return quit_ || bytes_ < capacity_; });
      bytes_ += static_cast<std::int64_t>(element.data.size());
    }
    const bool marker = element.IsEmpty();
    queue_.push_back(std::move(element));
    wake = queue_.size() == wakeBatch_ || (marker && wakeBatch_ > 1);
  }
  if (wake) changed_.notify_all();
}

bool OBDBuffer::TakeFront(Element& element, bool& wake) {
  Element& front = queue_.front();
  bool taken = false;
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
  return taken;
}

bool OBDBuffer::GetElement(Element& element) {
  bool wake = false;
  bool taken = false;
  {
    std::unique_lock lock(mutex_);
    if (quit_) return false;
    changed_.wait(lock, [this] { return quit_ || !queue_.empty(); });
    if (quit_) return false;
    taken = TakeFront(element, wake);
  }
  if (wake) changed_.notify_all();
  return taken;
}

OBDBuffer::Take OBDBuffer::TryGetElement(Element& element) {
  bool wake = false;
  bool taken = false;
  {
    std::lock_guard lock(mutex_);
    if (quit_) return Take::Ended;
    if (queue_.empty()) return Take::Empty;
    taken = TakeFront(element, wake);
  }
  if (wake) changed_.notify_all();
  return taken ? Take::Taken : Take::Ended;
}

void OBDBuffer::Wake() {
  bool any = false;
  {
    std::lock_guard lock(mutex_);
    any = !queue_.empty();
  }
  if (any) changed_.notify_all();
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
