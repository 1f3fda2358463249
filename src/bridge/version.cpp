// getDLLVersion: the library's version, 4.2 (upper 16 bits 4, lower 16
// bits 2). It runs no entry check and calls nothing.
#include "com_qel_varnel_MSCAPI.h"

extern "C" JNIEXPORT jint JNICALL Java_com_qel_varnel_MSCAPI_getDLLVersion(JNIEnv *, jclass) {
  return 0x40002;
}
