#include "bridge/records.h"

#include <cstring>

namespace mscapi {

void RecordWriter::bytes(const void *data, uint32_t n) {
  if (out_ != nullptr && n != 0) {
    if (n <= cap_) {
      std::memcpy(room(n), data, n);
    } else {
      put(data, n);
    }
  }
  size_ += n;
}

void RecordWriter::flush() {
  const size_t staged = size_ - base_;
  // Once the JVM has refused a piece, no JNI call is made with its
  // exception pending; the call fails at finish().
  if (staged != 0 && !failed_) {
    env_->SetByteArrayRegion(array_, static_cast<jsize>(base_), static_cast<jsize>(staged),
                             reinterpret_cast<const jbyte *>(out_));
    if (env_->ExceptionCheck()) failed_ = true;
  }
  base_ = size_;
}

void RecordWriter::put(const void *data, uint32_t n) {
  flush();
  if (!failed_) {
    env_->SetByteArrayRegion(array_, static_cast<jsize>(size_), static_cast<jsize>(n),
                             static_cast<const jbyte *>(data));
    if (env_->ExceptionCheck()) failed_ = true;
  }
  base_ = size_ + n;
}

bool RecordWriter::finish() {
  if (out_ != nullptr) flush();
  return !failed_;
}

}  // namespace mscapi
