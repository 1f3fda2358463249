// The JNI face of the emulation's test hooks, linked only into the test
// build of the library (build/testlib/libmscapi.so).
#include <jni.h>

#include "common/test_hooks.h"

extern "C" JNIEXPORT jint JNICALL Java_com_qel_varnel_TestControl_control(JNIEnv *, jclass,
                                                                          jint set, jint clear) {
  return static_cast<jint>(
      EmuTestControl(static_cast<unsigned>(set), static_cast<unsigned>(clear)));
}
