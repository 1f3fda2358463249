// Memory for the records of one list call, taken in blocks and freed all at
// once when the call's state goes: one allocation per block instead of
// several per record, and nothing that must be freed record by record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace mscapi {

class Arena {
 public:
  Arena() = default;
  ~Arena();
  Arena(const Arena &) = delete;
  Arena &operator=(const Arena &) = delete;

  // n bytes aligned for any record; throws std::bad_alloc when the memory
  // cannot be had (the list methods end such a call through their guard).
  void *take(size_t n);
  // A record of type T, value-initialised. T must need no destructor.
  template <typename T>
  T *make() {
    return new (take(sizeof(T))) T();
  }

 private:
  struct Block {
    Block *next;
    size_t size;  // usable bytes after the header
  };
  static constexpr size_t kBlockSize = 16 * 1024;
  static constexpr size_t kAlign = alignof(std::max_align_t);

  Block *blocks_ = nullptr;
  uint8_t *free_ = nullptr;  // the next free byte of the newest block
  size_t left_ = 0;          // bytes left there
};

}  // namespace mscapi
