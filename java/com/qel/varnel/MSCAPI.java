package com.qel.varnel;

/**
 * Java face of the native mscapi library: RSA key containers, hash signing,
 * random bytes and the system certificate stores of the Windows cryptographic
 * services (or of the library's emulation of them elsewhere).
 *
 * <p>Failures are raised as {@code java.lang.Exception} with a fixed message;
 * errors the JVM raises itself (a refused security check, a failed lookup,
 * out of memory) pass through unchanged.
 */
public class MSCAPI {
    /** Name of the native library; the security manager's checkLink is asked about it. */
    static String LIB = "mscapi";

    static {
        System.loadLibrary(LIB);
    }

    static native int getDLLVersion();

    static native byte[] queryProviders();

    static native byte[] generateRandom(String providerName, int length);

    static native byte[] generateKeyPair(String providerName, String containerName, int algId, int keyBits);

    static native void deleteKeyPair(String providerName, String containerName);

    static native byte[] queryKeyPairs();

    static native void importKeyPair(String providerName, String containerName, int keySpec,
            byte[] modulus, int keyBits, int publicExponent, byte[] privateExponent,
            byte[] prime1, byte[] prime2, byte[] exponent1, byte[] exponent2, byte[] coefficient);

    static native void importKeyPairPwd(String providerName, String containerName, int keySpec,
            byte[] modulus, int keyBits, int publicExponent, byte[] privateExponent,
            byte[] prime1, byte[] prime2, byte[] exponent1, byte[] exponent2, byte[] coefficient,
            byte[] password);

    static native byte[] getPrivateKey(String providerName, String containerName, int keySpec, byte[] password);

    static native byte[] addCertToStore(byte[] certificate, String providerName, String containerName,
            int keySpec, String friendlyName, int storeKind);

    static native void setFriendlyName(String friendlyName, byte[] serialNumber, byte[] issuer, int storeKind);

    static native void setFlags(byte[] flags, byte[] serialNumber, byte[] issuer, int storeKind);

    static native void deleteCertFromStore(byte[] serialNumber, byte[] issuer, int storeKind);

    static native byte[] queryCerts(int storeKind);

    static native byte[] sign(String providerName, String containerName, int keySpec, byte[] hashValue,
            int dataLength, int algId);

    static native byte[] verifyAndSign(String providerName, String containerName, int keySpec,
            byte[] hashValue, int dataLength, int algId, byte[] password);
}
