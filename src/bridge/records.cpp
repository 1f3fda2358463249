#include "bridge/records.h"

#include <cstring>

namespace mscapi {

void RecordWriter::bytes(const void *data, uint32_t n) {
  if (out_ != nullptr && n != 0) std::memcpy(out_ + size_, data, n);
  size_ += n;
}

}  // namespace mscapi
