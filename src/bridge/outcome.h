// What the inner body of a native method reports to its entry point, which
// turns it into the method's message.
#pragma once

#include <jni.h>

#include "bridge/frame.h"

namespace mscapi {

enum class Outcome {
  Ok,       // done (a result array that could not be made leaves the JVM's error)
  Refused,  // the provider refused the password
  Failed,   // anything else
};

// Raises the message that belongs to the outcome; nothing for Ok.
inline void raise(JNIEnv *env, Outcome outcome, const char *refused, const char *failed) {
  if (outcome == Outcome::Refused) throwJavaException(env, refused);
  if (outcome == Outcome::Failed) throwJavaException(env, failed);
}

}  // namespace mscapi
