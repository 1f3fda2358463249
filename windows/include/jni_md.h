/* Machine-dependent JNI types for Windows, for cross-compiling the DLL
 * against the (platform-independent) jni.h of a Linux JDK. One header for
 * both builds: 32-bit (i686) and 64-bit (x86_64). */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#ifdef _WIN64
/* x86_64 has one calling convention and undecorated names: the natives are
 * exported as Java_... by dllexport, as a Windows compiler does. */
#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL
#else
/* The 32-bit DLL's export table comes from mscapi.def, which gives the
 * decorated names (_Java_...@N) a Windows compiler exports; dllexport would
 * add the undecorated forms as well, so it stays empty in this build. */
#define JNIEXPORT
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall
#endif

/* LLP64 and ILP32 alike: long is 32 bits on Windows. */
typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
