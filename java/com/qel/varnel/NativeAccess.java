package com.qel.varnel;

import java.math.BigInteger;

/**
 * The command-line tool's way to the library's package-private native
 * methods: each one called directly, with its own types. The tool adds the
 * bookkeeping around the calls (com.qel.varnel.tool.Native); this class adds
 * nothing, so what the tool does is exactly what an application's call
 * through the provider would do.
 */
public final class NativeAccess {
    private NativeAccess() {
    }

    public static int getDLLVersion() {
        return MSCAPI.getDLLVersion();
    }

    public static byte[] queryProviders() throws Exception {
        return MSCAPI.queryProviders();
    }

    public static byte[] generateRandom(String provider, int length) throws Exception {
        return MSCAPI.generateRandom(provider, length);
    }

    public static byte[] generateKeyPair(String provider, String container, int algId, int keyBits)
            throws Exception {
        return MSCAPI.generateKeyPair(provider, container, algId, keyBits);
    }

    public static void deleteKeyPair(String provider, String container) throws Exception {
        MSCAPI.deleteKeyPair(provider, container);
    }

    public static byte[] queryKeyPairs() throws Exception {
        return MSCAPI.queryKeyPairs();
    }

    public static void importKeyPair(String provider, String container, int keySpec, byte[] modulus, int keyBits,
            int publicExponent, byte[] privateExponent, byte[] prime1, byte[] prime2, byte[] exponent1,
            byte[] exponent2, byte[] coefficient) throws Exception {
        MSCAPI.importKeyPair(provider, container, keySpec, modulus, keyBits, publicExponent, privateExponent,
                prime1, prime2, exponent1, exponent2, coefficient);
    }

    public static void importKeyPairPwd(String provider, String container, int keySpec, byte[] modulus,
            int keyBits, int publicExponent, byte[] privateExponent, byte[] prime1, byte[] prime2,
            byte[] exponent1, byte[] exponent2, byte[] coefficient, byte[] password) throws Exception {
        MSCAPI.importKeyPairPwd(provider, container, keySpec, modulus, keyBits, publicExponent, privateExponent,
                prime1, prime2, exponent1, exponent2, coefficient, password);
    }

    public static byte[] getPrivateKey(String provider, String container, int keySpec, byte[] password)
            throws Exception {
        return MSCAPI.getPrivateKey(provider, container, keySpec, password);
    }

    public static byte[] addCertToStore(byte[] certificate, String provider, String container, int keySpec,
            String friendlyName, int storeKind) throws Exception {
        return MSCAPI.addCertToStore(certificate, provider, container, keySpec, friendlyName, storeKind);
    }

    public static void setFriendlyName(String friendlyName, byte[] serial, byte[] issuer, int storeKind)
            throws Exception {
        MSCAPI.setFriendlyName(friendlyName, serial, issuer, storeKind);
    }

    public static void setFlags(byte[] flags, byte[] serial, byte[] issuer, int storeKind) throws Exception {
        MSCAPI.setFlags(flags, serial, issuer, storeKind);
    }

    public static void deleteCertFromStore(byte[] serial, byte[] issuer, int storeKind) throws Exception {
        MSCAPI.deleteCertFromStore(serial, issuer, storeKind);
    }

    public static byte[] queryCerts(int storeKind) throws Exception {
        return MSCAPI.queryCerts(storeKind);
    }

    public static byte[] sign(String provider, String container, int keySpec, byte[] hash, int length, int algId)
            throws Exception {
        return MSCAPI.sign(provider, container, keySpec, hash, length, algId);
    }

    /**
     * Whether the container's key of {@code keySpec} is the RSA key
     * ({@code modulus}, {@code exponent}), read through the library's own
     * entry point {@code ContainerKeys.publicKeyBlob}: the comparison the
     * provider makes for a key bound to a certificate. Throws the library's
     * exception when the key cannot be read.
     */
    public static boolean containerHolds(String provider, String container, int keySpec, BigInteger modulus,
            BigInteger exponent) throws Exception {
        return ContainerKeys.holds(provider, container, keySpec, modulus, exponent);
    }

    /** The provider's words for a container that holds another key than its certificate's. */
    public static String otherKey(String container) {
        return ContainerKeys.otherKey(container);
    }

    public static byte[] verifyAndSign(String provider, String container, int keySpec, byte[] hash, int length,
            int algId, byte[] password) throws Exception {
        return MSCAPI.verifyAndSign(provider, container, keySpec, hash, length, algId, password);
    }
}
