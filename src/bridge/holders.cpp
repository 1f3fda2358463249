#include "bridge/holders.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace mscapi {

Utf8Chars::Utf8Chars(JNIEnv *env, jstring s) : env_(env), string_(s) {
  if (s != nullptr) chars_ = env->GetStringUTFChars(s, nullptr);
}

Utf8Chars::Utf8Chars(Utf8Chars &&o) noexcept
    : env_(o.env_),
      string_(std::exchange(o.string_, nullptr)),
      chars_(std::exchange(o.chars_, nullptr)) {}

void Utf8Chars::release() {
  if (chars_ != nullptr) env_->ReleaseStringUTFChars(string_, chars_);
  chars_ = nullptr;
}

Utf16Chars::Utf16Chars(JNIEnv *env, jstring s) : env_(env), string_(s) {
  if (s == nullptr) return;
  const jsize n = env->GetStringLength(s);
  chars_ = env->GetStringChars(s, nullptr);
  if (chars_ != nullptr) length_ = static_cast<uint32_t>(n);
}

void Utf16Chars::release() {
  if (chars_ != nullptr) env_->ReleaseStringChars(string_, chars_);
  chars_ = nullptr;
}

ByteElements::ByteElements(JNIEnv *env, jbyteArray a) : env_(env), array_(a) {
  if (a == nullptr) return;
  const jsize n = env->GetArrayLength(a);
  elements_ = env->GetByteArrayElements(a, nullptr);
  if (elements_ != nullptr) length_ = static_cast<uint32_t>(n);
}

void ByteElements::release() {
  if (elements_ != nullptr) env_->ReleaseByteArrayElements(array_, elements_, JNI_ABORT);
  elements_ = nullptr;
}

HeapBuffer::HeapBuffer(size_t size, Wipe wipe) : wipe_(wipe) {
  // malloc(0) may legitimately return null; ask for one byte instead so an
  // empty buffer is still a valid one.
  data_ = static_cast<uint8_t *>(std::malloc(size != 0 ? size : 1));
  if (data_ != nullptr) size_ = size;
}

HeapBuffer &HeapBuffer::operator=(HeapBuffer &&o) noexcept {
  if (this != &o) {
    reset();
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    wipe_ = o.wipe_;
  }
  return *this;
}

void HeapBuffer::reset() {
  if (data_ == nullptr) return;
  if (wipe_ == Wipe::Yes) wipe(data_, size_);
  std::free(data_);
  data_ = nullptr;
  size_ = 0;
}

PasswordBuffer::PasswordBuffer(JNIEnv *env, jbyteArray password) {
  if (password == nullptr) return;
  given_ = true;
  ByteElements bytes(env, password);
  if (bytes.failed()) {
    jniFailed_ = true;
    return;
  }
  const size_t n = bytes.size();
  buffer_ = HeapBuffer(n + 2, HeapBuffer::Wipe::Yes);
  if (!buffer_) return;
  if (n != 0) std::memcpy(buffer_.data(), bytes.data(), n);
  buffer_.data()[n] = 0;
  buffer_.data()[n + 1] = 0;
  // `bytes` goes out of scope here: the array is released at once.
}

FilledArray::FilledArray(JNIEnv *env, jbyteArray a) : env_(env), array_(a) {
  elements_ = env_->GetPrimitiveArrayCritical(array_, nullptr);
}

void FilledArray::release() {
  if (elements_ == nullptr) return;
  env_->ReleasePrimitiveArrayCritical(array_, elements_, 0);
  elements_ = nullptr;
}

jbyteArray newByteArray(JNIEnv *env, const void *data, size_t size) {
  jbyteArray array = env->NewByteArray(static_cast<jsize>(size));
  if (array == nullptr) return nullptr;
  if (size != 0)
    env->SetByteArrayRegion(array, 0, static_cast<jsize>(size), static_cast<const jbyte *>(data));
  return array;
}

}  // namespace mscapi
