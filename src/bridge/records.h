// The one writer of the list and record results (ProviderList, KeyPairList,
// CertList, CertId): 32-bit little-endian integers and length-prefixed
// fields, back to back. A layout is described once as a function of a
// RecordWriter and run twice: first to measure the exact size, then to write
// into one buffer of that size.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>

#include "bridge/holders.h"

namespace mscapi {

class RecordWriter {
 public:
  // With a null `out` the writer only measures.
  explicit RecordWriter(uint8_t *out = nullptr) : out_(out) {}

  void u32(uint32_t v) {
    if (out_ != nullptr) {
      out_[size_] = static_cast<uint8_t>(v);
      out_[size_ + 1] = static_cast<uint8_t>(v >> 8);
      out_[size_ + 2] = static_cast<uint8_t>(v >> 16);
      out_[size_ + 3] = static_cast<uint8_t>(v >> 24);
    }
    size_ += 4;
  }
  // Raw bytes without a length in front.
  void bytes(const void *data, uint32_t n);
  // A length-prefixed field: the 32-bit length, then the bytes.
  void field(const void *data, uint32_t n) {
    u32(n);
    bytes(data, n);
  }
  // A length-prefixed field whose bytes are written by `fill(dst)`; dst is
  // null while measuring.
  template <typename Fill>
  void fieldWith(uint32_t n, Fill &&fill) {
    u32(n);
    if (out_ != nullptr) fill(out_ + size_);
    size_ += n;
  }
  size_t size() const { return size_; }

 private:
  uint8_t *out_;
  size_t size_ = 0;
};

// Measures `layout`, writes it into one heap buffer of exactly that size and
// hands it to Java as a new byte[]. Returns null with the JVM's error pending
// when the array cannot be made, or null with `allocFailed` set when the
// working buffer cannot be had.
template <typename Layout>
jbyteArray writeRecords(JNIEnv *env, Layout &&layout, bool &allocFailed) {
  allocFailed = false;
  RecordWriter measure;
  layout(measure);
  HeapBuffer buffer(measure.size());
  if (!buffer) {
    allocFailed = true;
    return nullptr;
  }
  RecordWriter write(buffer.data());
  layout(write);
  return newByteArray(env, buffer.data(), write.size());
}

}  // namespace mscapi
