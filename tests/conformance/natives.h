// The sixteen native methods, and the library's own entry points beside them
// (ContainerKeys.publicKeyBlob, SilentSigning.sign), as the suite calls them: linked directly
// against the library on Linux; on Windows looked up in mscapi.dll by their
// decorated standard-call names, as a 32-bit JVM finds them.
#pragma once

#include <jni.h>

namespace conformance {

struct Natives {
  jint(JNICALL *getDLLVersion)(JNIEnv *, jclass);
  jbyteArray(JNICALL *queryProviders)(JNIEnv *, jclass);
  jbyteArray(JNICALL *generateRandom)(JNIEnv *, jclass, jstring, jint);
  jbyteArray(JNICALL *generateKeyPair)(JNIEnv *, jclass, jstring, jstring, jint, jint);
  void(JNICALL *deleteKeyPair)(JNIEnv *, jclass, jstring, jstring);
  jbyteArray(JNICALL *queryKeyPairs)(JNIEnv *, jclass);
  void(JNICALL *importKeyPair)(JNIEnv *, jclass, jstring, jstring, jint, jbyteArray, jint, jint,
                               jbyteArray, jbyteArray, jbyteArray, jbyteArray, jbyteArray,
                               jbyteArray);
  void(JNICALL *importKeyPairPwd)(JNIEnv *, jclass, jstring, jstring, jint, jbyteArray, jint, jint,
                                  jbyteArray, jbyteArray, jbyteArray, jbyteArray, jbyteArray,
                                  jbyteArray, jbyteArray);
  jbyteArray(JNICALL *getPrivateKey)(JNIEnv *, jclass, jstring, jstring, jint, jbyteArray);
  jbyteArray(JNICALL *addCertToStore)(JNIEnv *, jclass, jbyteArray, jstring, jstring, jint, jstring,
                                      jint);
  void(JNICALL *setFriendlyName)(JNIEnv *, jclass, jstring, jbyteArray, jbyteArray, jint);
  void(JNICALL *setFlags)(JNIEnv *, jclass, jbyteArray, jbyteArray, jbyteArray, jint);
  void(JNICALL *deleteCertFromStore)(JNIEnv *, jclass, jbyteArray, jbyteArray, jint);
  jbyteArray(JNICALL *queryCerts)(JNIEnv *, jclass, jint);
  jbyteArray(JNICALL *sign)(JNIEnv *, jclass, jstring, jstring, jint, jbyteArray, jint, jint);
  jbyteArray(JNICALL *verifyAndSign)(JNIEnv *, jclass, jstring, jstring, jint, jbyteArray, jint,
                                     jint, jbyteArray);
  // The library's own entry points beside the sixteen.
  jbyteArray(JNICALL *silentSign)(JNIEnv *, jclass, jstring, jstring, jint, jbyteArray, jint, jint);
  jbyteArray(JNICALL *publicKeyBlob)(JNIEnv *, jclass, jstring, jstring, jint);
};

// The methods of the library under test. On Windows a method the DLL does
// not export is null, which the suite reports as a failure.
const Natives &natives();

}  // namespace conformance
