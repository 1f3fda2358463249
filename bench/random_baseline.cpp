// The baseline of random_bench: the least a JNI method can do to hand Java
// random bytes from OpenSSL. The array is made first, OpenSSL's RAND_bytes
// draws straight into it, and nothing else happens (no entry check, no
// provider). Built only for the benchmark, as a library of its own that
// RandomBench loads.
#include <jni.h>
#include <openssl/rand.h>

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_RandomBench_opensslRandom(JNIEnv *env,
                                                                                      jclass,
                                                                                      jint length) {
  jbyteArray a = env->NewByteArray(length);
  if (a == nullptr) return nullptr;
  void *bytes = env->GetPrimitiveArrayCritical(a, nullptr);
  if (bytes == nullptr) return nullptr;
  const int ok = RAND_bytes(static_cast<unsigned char *>(bytes), length);
  env->ReleasePrimitiveArrayCritical(a, bytes, 0);
  return ok == 1 ? a : nullptr;
}
