package com.qel.varnel;

/** A variant of the class without the static LIB field the entry check reads. */
public class MSCAPI {
    static {
        System.loadLibrary("mscapi");
    }

    static native int getDLLVersion();

    static native byte[] generateRandom(String providerName, int length);
}
