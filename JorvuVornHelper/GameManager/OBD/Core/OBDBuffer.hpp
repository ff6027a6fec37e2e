#pragma once
// A blocking first-in first-out queue of work items between the steps of a
// job. Bounded queues count only the items' data bytes against their
// capacity; a capacity of 0 or less means unbounded.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

class OBDBuffer {
 public:
  // One object of one file.
  struct Element {
    std::string full_path;    // target folder + decoded key
    std::string key;          // the file key
    std::string object_hash;  // empty when the object is already in place
    std::int64_t object_index = -1;
    std::int64_t object_count = 0;  // objects of the file (full or delta)
    std::vector<std::uint8_t> data;  // the downloaded, still compressed object
    std::uint64_t uncompressed_size = 0;
    std::string source;  // non-empty: the objects are delta objects
    bool last_object = false;
    bool fresh_file = false;  // the file's temp file is truncated when opened
    bool already_present = false;
    bool origin_broken = false;

    // The end-of-stream marker. A real item always has a key and a path.
    bool IsEmpty() const {
      return full_path.empty() && key.empty() && object_hash.empty() && object_index == -1 && object_count == 0 &&
             data.empty() && uncompressed_size == 0 && !last_object;
    }
  };

  OBDBuffer() = default;
  explicit OBDBuffer(std::int64_t capacity) : capacity_(capacity) {}
  OBDBuffer(const OBDBuffer&) = delete;
  OBDBuffer& operator=(const OBDBuffer&) = delete;

  // Waits while a bounded queue is at or above its capacity (and not
  // quitting), then appends. One element may take the queue past it.
  void AddElement(Element element);
  // True when a real element was taken and the queue is not quitting. The
  // end marker is consumed and gives false.
  bool GetElement(Element& element);
  // GetElement without the wait: Empty when nothing is queued just now,
  // Ended where GetElement would give false.
  enum class Take { Taken, Empty, Ended };
  Take TryGetElement(Element& element);
  // Wakes every waiter; from now on GetElement gives false.
  void Quit();

  // For a queue whose consumer may run a little behind (the record step):
  // an element then wakes a waiting consumer only when `batch` elements are
  // queued or it is the end marker, and the producer calls Wake() before it
  // waits for work of its own. A consumer handed items in batches is woken
  // once per batch instead of once per item.
  void SetWakeBatch(std::size_t batch) { wakeBatch_ = batch; }
  // Wakes a waiting consumer when elements are queued.
  void Wake();

  std::size_t Size() const;
  std::int64_t QueuedBytes() const;

 private:
  bool Bounded() const { return capacity_ > 0; }
  // Takes the front element under the lock: true for a real one. Sets
  // `wake` when that brought a bounded queue below its capacity.
  bool TakeFront(Element& element, bool& wake);

  std::deque<Element> queue_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::int64_t capacity_ = 0;
  std::int64_t bytes_ = 0;
  std::size_t wakeBatch_ = 1;
  bool quit_ = false;
};
