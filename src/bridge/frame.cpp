#include "bridge/frame.h"

namespace mscapi {

jthrowable checkLinkPermission(JNIEnv *env, jclass cls) {
  do {
    const jfieldID libField = env->GetStaticFieldID(cls, "LIB", "Ljava/lang/String;");
    if (libField == nullptr) break;
    const jobject lib = env->GetStaticObjectField(cls, libField);
    if (lib == nullptr) break;
    const jclass system = env->FindClass("java/lang/System");
    if (system == nullptr) break;
    const jmethodID getSecurityManager =
        env->GetStaticMethodID(system, "getSecurityManager", "()Ljava/lang/SecurityManager;");
    if (getSecurityManager == nullptr) break;
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

void throwJavaException(JNIEnv *env, const char *message) {
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
