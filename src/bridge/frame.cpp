#include "bridge/frame.h"

#include <atomic>
#include <cstdio>
#include <new>

#include "platform/platform.h"

namespace mscapi {

namespace {

// What the entry check looks up: the LIB field of the calling class,
// java.lang.System and its getSecurityManager. A field or method ID and the
// System class stay valid while their classes are loaded, so the first
// call that finds them all keeps them for the process (the calling class
// through a weak reference, which neither keeps it loaded nor matches
// another class of that name); every later call of the same class reads
// the field and asks for the manager without the three lookups. Where
// the references cannot be made, each call looks them up.
struct EntryIds {
  jweak caller;
  jfieldID lib;
  jclass system;  // a global reference
  jmethodID getSecurityManager;
};

std::atomic<const EntryIds *> keptIds{nullptr};

const EntryIds *idsKeptFor(JNIEnv *env, jclass cls) {
  const EntryIds *kept = keptIds.load(std::memory_order_acquire);
  return kept != nullptr && env->IsSameObject(cls, kept->caller) ? kept : nullptr;
}

void keepIds(JNIEnv *env, jclass cls, jfieldID lib, jclass system, jmethodID getSecurityManager) {
  if (keptIds.load(std::memory_order_acquire) != nullptr) return;
  const jweak caller = env->NewWeakGlobalRef(cls);
  if (caller == nullptr) return;
  const auto systemRef = static_cast<jclass>(env->NewGlobalRef(system));
  if (systemRef == nullptr) {
    env->DeleteWeakGlobalRef(caller);
    return;
  }
  const EntryIds *ids = new (std::nothrow) EntryIds{caller, lib, systemRef, getSecurityManager};
  const EntryIds *none = nullptr;
  if (ids != nullptr && keptIds.compare_exchange_strong(none, ids, std::memory_order_acq_rel))
    return;
  // Another thread kept its own first (or there was no memory for them).
  delete ids;
  env->DeleteGlobalRef(systemRef);
  env->DeleteWeakGlobalRef(caller);
}

}  // namespace

jthrowable checkLinkPermission(JNIEnv *env, jclass cls) {
  // Each call starts with a clear last error, so that the cause a failure
  // carries is this call's own.
  SetLastError(ERROR_SUCCESS);
  const EntryIds *kept = idsKeptFor(env, cls);
  do {
    const jfieldID libField =
        kept != nullptr ? kept->lib : env->GetStaticFieldID(cls, "LIB", "Ljava/lang/String;");
    if (libField == nullptr) break;
    const jobject lib = env->GetStaticObjectField(cls, libField);
    if (lib == nullptr) break;
    const jclass system = kept != nullptr ? kept->system : env->FindClass("java/lang/System");
    if (system == nullptr) break;
    const jmethodID getSecurityManager =
        kept != nullptr
            ? kept->getSecurityManager
            : env->GetStaticMethodID(system, "getSecurityManager", "()Ljava/lang/SecurityManager;");
    if (getSecurityManager == nullptr) break;
    if (kept == nullptr) keepIds(env, cls, libField, system, getSecurityManager);
    if (env->ExceptionCheck()) break;
    const jobject manager = env->CallStaticObjectMethod(system, getSecurityManager);
    // A pending exception from getSecurityManager must not be followed by
    // further JNI calls; it is what the check reports.
    if (manager == nullptr || env->ExceptionCheck()) break;
    const jclass managerClass = env->GetObjectClass(manager);
    if (managerClass == nullptr) break;
    const jmethodID checkLink =
        env->GetMethodID(managerClass, "checkLink", "(Ljava/lang/String;)V");
    if (checkLink == nullptr) break;
    env->CallVoidMethod(manager, checkLink, lib);
  } while (false);
  return env->ExceptionOccurred();
}

namespace {

// Keeps `text` as it is where it is UTF-8 that modified UTF-8 reads the
// same (one- to three-byte sequences, no NUL, no surrogate halves) and puts
// '?' for every other byte, so NewStringUTF can take it.
void toModifiedUtf8(char *text, size_t n) {
  auto *b = reinterpret_cast<unsigned char *>(text);
  for (size_t i = 0; i < n;) {
    const unsigned c = b[i];
    size_t len = c >= 0x20 && c < 0x7F             ? 1
                 : (c & 0xE0) == 0xC0 && c >= 0xC2 ? 2
                 : (c & 0xF0) == 0xE0              ? 3
                                                   : 0;
    for (size_t k = 1; k < len; ++k)
      if (i + k >= n || (b[i + k] & 0xC0) != 0x80) len = 0;
    if (len == 3 && ((c == 0xE0 && b[i + 1] < 0xA0) || (c == 0xED && b[i + 1] >= 0xA0))) len = 0;
    if (len == 0) {
      b[i++] = '?';
      continue;
    }
    i += len;
  }
}

// The platform's words for an error code: "0x80090016 " followed by the
// system's message for it, without its line end; null when no Java string
// could be made (the JVM's error is then pending).
jstring describeError(JNIEnv *env, DWORD code) {
  char text[600];
  int n = std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  const DWORD words =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     text + n + 1, static_cast<DWORD>(sizeof text - n - 1), nullptr);
  if (words > 0) {
    text[n] = ' ';
    n += 1 + static_cast<int>(words);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) --n;
  }
  text[n] = '\0';
  toModifiedUtf8(text, static_cast<size_t>(n));
  return env->NewStringUTF(text);
}

// Raises the exception with its cause inside a local frame of its own; on
// any failure clears what is pending, so the caller raises the plain one.
void throwWithCause(JNIEnv *env, const char *message, DWORD code) {
  const jclass exception = env->FindClass("java/lang/Exception");
  if (exception == nullptr) {
    env->ExceptionClear();
    return;
  }
  const jmethodID withMessage = env->GetMethodID(exception, "<init>", "(Ljava/lang/String;)V");
  const jmethodID withCause =
      env->GetMethodID(exception, "<init>", "(Ljava/lang/String;Ljava/lang/Throwable;)V");
  const jstring words =
      withMessage != nullptr && withCause != nullptr ? describeError(env, code) : nullptr;
  const jobject cause = words != nullptr ? env->NewObject(exception, withMessage, words) : nullptr;
  const jstring text = cause != nullptr ? env->NewStringUTF(message) : nullptr;
  const jobject thrown =
      text != nullptr ? env->NewObject(exception, withCause, text, cause) : nullptr;
  if (thrown == nullptr) {
    env->ExceptionClear();
    return;
  }
  env->Throw(static_cast<jthrowable>(thrown));
}

}  // namespace

void throwJavaException(JNIEnv *env, const char *message) {
  // Read before any JNI call: the platform's last error of the failure.
  const DWORD code = GetLastError();
  if (code != ERROR_SUCCESS) {
    // No room for a local frame leaves the JVM's out-of-memory error pending.
    if (env->PushLocalFrame(16) != JNI_OK) return;
    throwWithCause(env, message, code);
    env->PopLocalFrame(nullptr);
    if (env->ExceptionCheck()) return;
  }
  const jclass exception = env->FindClass("java/lang/Exception");
  if (exception != nullptr) env->ThrowNew(exception, message);
}

void reverseBytes(uint8_t *buffer, uint32_t length) {
  if (buffer == nullptr || length < 2) return;
  uint32_t i = 0;
  uint32_t j = length - 1;
  while (j > i) {
    const uint8_t t = buffer[i];
    buffer[i] = buffer[j];
    buffer[j] = t;
    ++i;
    --j;
  }
}

}  // namespace mscapi
