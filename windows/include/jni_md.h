/* Machine-dependent JNI types for 32-bit Windows, for cross-compiling the DLL
 * against the (platform-independent) jni.h of a Linux JDK. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

/* The DLL's export table comes from mscapi.def, which gives the decorated
 * names (_Java_...@N) a Windows compiler exports; dllexport would add the
 * undecorated forms as well, so it stays empty in this build. */
#define JNIEXPORT
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
