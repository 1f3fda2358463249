// The one writer of the list and record results (ProviderList, KeyPairList,
// CertList, CertId): 32-bit little-endian integers and length-prefixed
// fields, back to back. A layout is described once as a function of a
// RecordWriter and run twice: first to measure the exact size, then to write
// into a Java byte[] of that size, through a small staging buffer that is
// handed over in pieces (no working copy of the whole result).
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bridge/holders.h"

namespace mscapi {

class RecordWriter {
 public:
  // Measures only.
  RecordWriter() = default;
  // Writes into `array` (exactly the measured size) through `staging`.
  RecordWriter(JNIEnv *env, jbyteArray array, uint8_t *staging, size_t stagingSize)
      : env_(env), array_(array), out_(staging), cap_(stagingSize) {}
  RecordWriter(const RecordWriter &) = delete;
  RecordWriter &operator=(const RecordWriter &) = delete;

  void u32(uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    if (out_ != nullptr && cap_ >= 4) {
      std::memcpy(room(4), b, 4);
      size_ += 4;
    } else {
      bytes(b, 4);  // measuring, or a staging buffer shorter than the integer
    }
  }
  // Raw bytes without a length in front.
  void bytes(const void *data, uint32_t n);
  // A length-prefixed field: the 32-bit length, then the bytes.
  void field(const void *data, uint32_t n) {
    u32(n);
    bytes(data, n);
  }
  // A length-prefixed field of n bytes written by `fill(dst, from, count)`,
  // which writes its bytes [from, from + count) at dst; called piece by
  // piece, never while measuring.
  template <typename Fill>
  void fieldWith(uint32_t n, Fill &&fill) {
    u32(n);
    if (out_ == nullptr) {
      size_ += n;
      return;
    }
    for (uint32_t from = 0; from < n;) {
      const uint32_t count = n - from < cap_ ? n - from : static_cast<uint32_t>(cap_);
      fill(room(count), from, count);
      size_ += count;
      from += count;
    }
  }
  size_t size() const { return size_; }
  // Hands over what is staged; false when the JVM refused a piece.
  bool finish();

 private:
  // Space for n <= cap_ bytes at the current position of the staging
  // buffer, handing over what is staged first when it would not fit.
  uint8_t *room(size_t n) {
    if (size_ + n - base_ > cap_) flush();
    return out_ + (size_ - base_);
  }
  void flush();
  // Bytes written past the staging buffer, straight into the array.
  void put(const void *data, uint32_t n);

  JNIEnv *env_ = nullptr;
  jbyteArray array_ = nullptr;
  uint8_t *out_ = nullptr;  // the staging buffer; null while measuring
  size_t cap_ = 0;
  size_t base_ = 0;  // the array offset of the staging buffer's first byte
  size_t size_ = 0;  // bytes measured or written so far
  bool failed_ = false;
};

// The staging buffer's size: a piece of the result handed over at a time.
constexpr size_t kStagingSize = 16 * 1024;

// Measures `layout`, makes a Java byte[] of exactly that size and writes the
// layout into it through `staging` (owned by the caller, so that a method
// whose body may be left without destructors frees it). Returns null with
// the JVM's error pending when the array cannot be made or filled, or null
// with `allocFailed` set when the staging buffer cannot be had or the
// result would not fit a Java array.
template <typename Layout>
jbyteArray writeRecords(JNIEnv *env, Layout &&layout, HeapBuffer &staging, bool &allocFailed) {
  allocFailed = false;
  RecordWriter measure;
  layout(measure);
  const size_t size = measure.size();
  if (size > 0x7FFFFFFF) {
    allocFailed = true;
    return nullptr;
  }
  staging = HeapBuffer(size < kStagingSize ? size : kStagingSize);
  if (!staging) {
    allocFailed = true;
    return nullptr;
  }
  jbyteArray array = env->NewByteArray(static_cast<jsize>(size));
  if (array == nullptr) return nullptr;
  RecordWriter write(env, array, staging.data(), staging.size());
  layout(write);
  return write.finish() ? array : nullptr;
}

// The same with a staging buffer of the call's own.
template <typename Layout>
jbyteArray writeRecords(JNIEnv *env, Layout &&layout, bool &allocFailed) {
  HeapBuffer staging;
  return writeRecords(env, layout, staging, allocFailed);
}

}  // namespace mscapi
