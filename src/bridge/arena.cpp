#include "bridge/arena.h"

#include <cstdlib>
#include <new>

namespace mscapi {

namespace {

constexpr size_t roundUp(size_t n, size_t to) {
  return (n + to - 1) / to * to;
}

}  // namespace

Arena::~Arena() {
  while (blocks_ != nullptr) {
    Block *b = blocks_;
    blocks_ = b->next;
    std::free(b);
  }
}

void *Arena::take(size_t n) {
  n = roundUp(n != 0 ? n : 1, kAlign);
  if (n > left_) {
    // A request larger than a block gets a block of its own size.
    const size_t header = roundUp(sizeof(Block), kAlign);
    const size_t size = n > kBlockSize - header ? n : kBlockSize - header;
    if (size > static_cast<size_t>(-1) - header) throw std::bad_alloc();
    auto *b = static_cast<Block *>(std::malloc(header + size));
    if (b == nullptr) throw std::bad_alloc();
    b->next = blocks_;
    b->size = size;
    blocks_ = b;
    free_ = reinterpret_cast<uint8_t *>(b) + header;
    left_ = size;
  }
  void *p = free_;
  free_ += n;
  left_ -= n;
  return p;
}

}  // namespace mscapi
