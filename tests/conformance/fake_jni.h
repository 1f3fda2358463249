// A recording stand-in for the JVM's JNIEnv, backed by plain C++ objects.
// It gives out the real storage of its byte arrays (not copies), so that an
// in-place change by the library shows, and it records every acquisition,
// release and exception. It fails the test (through `violations`) when a
// string or array taken is not released exactly once, when an array is
// released in another mode than JNI_ABORT, when a JNI call other than a
// release is made while an exception is pending, or when an input array's
// contents change. It can also inject failures: a checkLink that throws,
// a class without LIB, NewByteArray failing with OutOfMemoryError.
#pragma once

#include <jni.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fakejni {

struct Object {
  enum class Kind { Class, String, ByteArray, Throwable, Manager } kind;
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
};

struct Throwable : Object {
  std::string className;  // e.g. "java/lang/Exception"
  std::string message;
  const Throwable *cause = nullptr;
  Throwable(std::string c, std::string m)
      : Object(Kind::Throwable), className(std::move(c)), message(std::move(m)) {}
};

struct String : Object {
  std::u16string chars;
  explicit String(std::u16string s) : Object(Kind::String), chars(std::move(s)) {}
  std::string modifiedUtf8() const;
};

struct ByteArray : Object {
  std::vector<jbyte> bytes;
  std::vector<jbyte> original;  // to detect changes made through the elements
  explicit ByteArray(std::vector<jbyte> b)
      : Object(Kind::ByteArray), bytes(b), original(std::move(b)) {}
};

struct Class : Object {
  std::string name;
  explicit Class(std::string n) : Object(Kind::Class), name(std::move(n)) {}
};

// A fault NewByteArray can be made to raise, for the fault guard.
enum class Fault { None, CppException, AccessViolation };

class Env {
 public:
  Env();
  ~Env();
  Env(const Env &) = delete;
  Env &operator=(const Env &) = delete;

  JNIEnv *env() { return &env_; }
  jclass mscapiClass() { return reinterpret_cast<jclass>(mscapi_.get()); }

  // Java values owned by this environment.
  jstring string(const std::u16string &s);
  jstring string(const std::string &ascii);
  jbyteArray bytes(const std::vector<uint8_t> &b);
  std::vector<uint8_t> contents(jbyteArray a) const;

  // Configuration of the class and its security manager.
  bool hasLibField = true;
  bool libIsNull = false;
  bool managerInstalled = false;
  bool managerRefuses = false;
  int failNewByteArrayAfter = -1;  // the n-th NewByteArray (0-based) fails
  Fault newByteArrayFault = Fault::None;

  // What happened.
  std::vector<std::string> violations;
  std::vector<std::string> checkLinkArgs;
  int acquisitions = 0;
  int releases = 0;
  int newByteArrays = 0;
  int nonReleaseCallsWhilePending = 0;

  // The pending throwable, if any: its class and message.
  bool pending() const { return pending_ != nullptr; }
  std::string pendingClass() const { return pending_ ? pending_->className : ""; }
  std::string pendingMessage() const { return pending_ ? pending_->message : ""; }
  // The message of the pending throwable's cause; "" when it has none.
  std::string pendingCause() const {
    return pending_ && pending_->cause ? pending_->cause->message : "";
  }
  void clearPending() { pending_ = nullptr; }

  // Checks that everything taken was released and no input array changed;
  // adds to `violations`. Call after each native method returns.
  void finishCall();

  // Internal, used by the function table.
  struct Taken {
    const Object *owner;
    const void *ptr;
    std::string what;
  };
  Throwable *pending_ = nullptr;
  std::vector<Taken> taken_;
  std::vector<std::unique_ptr<Object>> objects_;
  std::unique_ptr<Class> mscapi_, system_, exception_, manager_class_;
  std::unique_ptr<Object> manager_;
  std::unique_ptr<String> lib_;
  void raise(const std::string &cls, const std::string &msg);
  void noteCall(const char *name, bool isRelease = false);
  static Env &of(JNIEnv *e);

 private:
  JNINativeInterface_ table_{};
  JNIEnv env_{};
};

}  // namespace fakejni
