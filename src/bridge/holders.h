// Move-only owners of what a native method takes from Java or the heap.
// Each releases what it holds exactly once, on every path, either explicitly
// through release() (where a method must keep a particular release order)
// or when it goes out of scope. Java arrays given by the caller are always
// released with JNI_ABORT, so nothing is ever copied back into them, and
// their elements are only ever read; only a result array the method made
// itself is written in place (FilledArray).
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace mscapi {

// Modified UTF-8 characters of a Java string (GetStringUTFChars). A null
// string gives a null pointer, which the platform reads as "the default".
class Utf8Chars {
 public:
  Utf8Chars(JNIEnv *env, jstring s);
  ~Utf8Chars() { release(); }
  Utf8Chars(Utf8Chars &&o) noexcept;
  Utf8Chars(const Utf8Chars &) = delete;
  Utf8Chars &operator=(const Utf8Chars &) = delete;
  Utf8Chars &operator=(Utf8Chars &&) = delete;

  const char *get() const { return chars_; }
  // The string was not null but the JVM could not give its characters; an
  // error (normally OutOfMemoryError) is pending.
  bool failed() const { return string_ != nullptr && chars_ == nullptr; }
  void release();

 private:
  JNIEnv *env_;
  jstring string_;
  const char *chars_ = nullptr;
};

// UTF-16 characters of a Java string (GetStringChars) and its length.
class Utf16Chars {
 public:
  Utf16Chars(JNIEnv *env, jstring s);
  ~Utf16Chars() { release(); }
  Utf16Chars(const Utf16Chars &) = delete;
  Utf16Chars &operator=(const Utf16Chars &) = delete;

  const jchar *get() const { return chars_; }
  uint32_t length() const { return length_; }
  bool failed() const { return string_ != nullptr && chars_ == nullptr; }
  void release();

 private:
  JNIEnv *env_;
  jstring string_;
  const jchar *chars_ = nullptr;
  uint32_t length_ = 0;
};

// Elements of a Java byte[] (GetByteArrayElements), read-only, released in
// mode JNI_ABORT. A null array gives no elements and size 0.
class ByteElements {
 public:
  ByteElements(JNIEnv *env, jbyteArray a);
  ~ByteElements() { release(); }
  ByteElements(const ByteElements &) = delete;
  ByteElements &operator=(const ByteElements &) = delete;

  const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(elements_); }
  uint32_t size() const { return length_; }
  bool isNull() const { return array_ == nullptr; }
  bool failed() const { return array_ != nullptr && elements_ == nullptr; }
  void release();

 private:
  JNIEnv *env_;
  jbyteArray array_;
  jbyte *elements_ = nullptr;
  uint32_t length_ = 0;
};

// A working buffer from the heap. Buffers that hold secrets are wiped before
// they are freed.
class HeapBuffer {
 public:
  enum class Wipe { No, Yes };
  HeapBuffer() = default;
  // An empty holder when the memory cannot be had; test with operator bool.
  explicit HeapBuffer(size_t size, Wipe wipe = Wipe::No);
  ~HeapBuffer() { reset(); }
  HeapBuffer(HeapBuffer &&o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), wipe_(o.wipe_) {}
  HeapBuffer &operator=(HeapBuffer &&o) noexcept;
  HeapBuffer(const HeapBuffer &) = delete;
  HeapBuffer &operator=(const HeapBuffer &) = delete;

  uint8_t *data() const { return data_; }
  size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }
  void reset();

 private:
  uint8_t *data_ = nullptr;
  size_t size_ = 0;
  Wipe wipe_ = Wipe::No;
};

// The password buffer: the n bytes of a Java byte[] followed by two zero
// bytes, so the platform reads it as a zero-terminated string. The array is
// released (JNI_ABORT) as soon as its bytes are copied; the buffer is wiped
// when it is freed. A null array gives no buffer: the absence of a password.
class PasswordBuffer {
 public:
  PasswordBuffer(JNIEnv *env, jbyteArray password);
  ~PasswordBuffer() = default;
  PasswordBuffer(const PasswordBuffer &) = delete;
  PasswordBuffer &operator=(const PasswordBuffer &) = delete;

  // Null when no password was given (or it could not be taken).
  const uint8_t *get() const { return buffer_.data(); }
  size_t size() const { return buffer_.size(); }
  bool given() const { return given_; }
  // The JVM could not give the array's elements; its error is pending.
  bool jniFailed() const { return jniFailed_; }
  // The buffer could not be allocated: the method fails as when the
  // platform refuses the password step.
  bool allocFailed() const { return given_ && !jniFailed_ && !buffer_; }

 private:
  HeapBuffer buffer_;
  bool given_ = false;
  bool jniFailed_ = false;
};

// The elements of a byte[] the method made itself, to be filled in place
// (GetPrimitiveArrayCritical): no copy of a result of any size. Between the
// constructor and release() the method makes no JNI call and waits for
// nothing; release() (mode 0) hands the bytes to the array. A failure to
// get the elements leaves the JVM's error pending.
class FilledArray {
 public:
  FilledArray(JNIEnv *env, jbyteArray a);
  ~FilledArray() { release(); }
  FilledArray(const FilledArray &) = delete;
  FilledArray &operator=(const FilledArray &) = delete;

  uint8_t *data() const { return static_cast<uint8_t *>(elements_); }
  bool failed() const { return elements_ == nullptr; }
  void release();

 private:
  JNIEnv *env_;
  jbyteArray array_;
  void *elements_ = nullptr;
};

// A new Java byte[] holding a copy of `size` bytes, made with NewByteArray
// and one SetByteArrayRegion from offset 0. Null when the JVM could not make
// it (its error is then pending).
jbyteArray newByteArray(JNIEnv *env, const void *data, size_t size);

}  // namespace mscapi
