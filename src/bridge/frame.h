// The frame every native method of com.qel.varnel.MSCAPI runs in: the entry
// check, raising failures into Java, byte-order reversal.
#pragma once

#include <jni.h>

#include <cstdint>

namespace mscapi {

// The entry check: reads the class's static String field LIB and, when a
// security manager is installed and LIB is not null, calls its
// checkLink(LIB). Returns the exception pending afterwards (null when none);
// the check raises nothing of its own. Local references it makes are left
// to the JVM to free when the native method returns.
jthrowable checkLinkPermission(JNIEnv *env, jclass cls);

// Raises a java.lang.Exception with the given message. When the thread's
// last platform error is set, the exception's cause is a java.lang.Exception
// whose message is that code ("0x80090016") followed by the platform's
// words for it, so callers that compare messages see no difference and
// callers that want to know why can ask getCause(). When the class cannot
// be found, the JVM's own error from the lookup stays pending instead.
void throwJavaException(JNIEnv *env, const char *message);

// Reverses `length` bytes at `buffer` in place (little-endian <-> big-endian).
void reverseBytes(uint8_t *buffer, uint32_t length);

}  // namespace mscapi
