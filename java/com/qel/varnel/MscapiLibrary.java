package com.qel.varnel;

import java.math.BigInteger;
import java.security.interfaces.RSAPrivateCrtKey;
import java.util.Arrays;
import java.util.List;

/**
 * The library's native methods with their results read: the one public way
 * to them, used by the "MSCAPI" provider and the command-line tool alike, so
 * what the tool does is what an application's call through the provider
 * does. Stores are {@link StoreKind}s, hash algorithms {@link HashAlg}s; a key
 * spec is its number ({@link KeyRole#code}), as the lists give it back.
 *
 * <p>A failure of the library is raised as {@code java.lang.Exception} with
 * its fixed message and the platform's code in the cause
 * ({@link ErrorCode#of}); a layout that does not read raises
 * IllegalArgumentException.
 */
public final class MscapiLibrary {
    private MscapiLibrary() {
    }

    public static int version() {
        return MSCAPI.getDLLVersion();
    }

    /** The RSA providers' names, the default provider first. */
    public static List<String> providers() throws Exception {
        return Records.providers(MSCAPI.queryProviders());
    }

    /** The default RSA provider's name (the first of {@link #providers}), or null when none is installed. */
    public static String defaultProvider() throws Exception {
        List<String> names = providers();
        return names.isEmpty() ? null : names.get(0);
    }

    public static byte[] random(String provider, int length) throws Exception {
        return MSCAPI.generateRandom(provider, length);
    }

    /** A new key pair in a new container; its public key as {modulus, exponent}. */
    public static BigInteger[] generateKeyPair(String provider, String container, int keySpec, int keyBits)
            throws Exception {
        return Records.publicKey(MSCAPI.generateKeyPair(provider, container, keySpec, keyBits));
    }

    public static void deleteKeyPair(String provider, String container) throws Exception {
        MSCAPI.deleteKeyPair(provider, container);
    }

    public static List<Records.KeyPair> keyPairs() throws Exception {
        return Records.keyPairs(MSCAPI.queryKeyPairs());
    }

    /** Puts an RSA private key into a new container without a password ({@code importKeyPair}). */
    public static void importKey(String provider, String container, int keySpec, RSAPrivateCrtKey k)
            throws Exception {
        importKey(provider, container, keySpec, k, null, false);
    }

    /**
     * Puts an RSA private key into a new container with a password, which
     * may be null ({@code importKeyPairPwd}). The public exponent must fit 32
     * bits (else ArithmeticException).
     */
    public static void importKey(String provider, String container, int keySpec, RSAPrivateCrtKey k, byte[] pin)
            throws Exception {
        importKey(provider, container, keySpec, k, pin, true);
    }

    private static void importKey(String provider, String container, int keySpec, RSAPrivateCrtKey k, byte[] pin,
            boolean withPassword) throws Exception {
        int bits = k.getModulus().bitLength();
        int n = (bits + 7) / 8;
        int h = (n + 1) / 2;
        // Fixed-width fields: each array holds exactly its field's bytes.
        byte[][] parts = {fixed(k.getModulus(), n), fixed(k.getPrivateExponent(), n), fixed(k.getPrimeP(), h),
            fixed(k.getPrimeQ(), h), fixed(k.getPrimeExponentP(), h), fixed(k.getPrimeExponentQ(), h),
            fixed(k.getCrtCoefficient(), h)};
        try {
            int e = k.getPublicExponent().intValueExact();
            if (withPassword) {
                MSCAPI.importKeyPairPwd(provider, container, keySpec, parts[0], bits, e, parts[1], parts[2],
                        parts[3], parts[4], parts[5], parts[6], pin);
            } else {
                MSCAPI.importKeyPair(provider, container, keySpec, parts[0], bits, e, parts[1], parts[2], parts[3],
                        parts[4], parts[5], parts[6]);
            }
        } finally {
            for (byte[] p : parts) {
                Arrays.fill(p, (byte) 0);
            }
        }
    }

    /** Big-endian magnitude, left-padded with zeros to exactly `len` bytes. */
    static byte[] fixed(BigInteger v, int len) {
        byte[] b = v.toByteArray();
        byte[] out = new byte[len];
        int copy = Math.min(len, b.length);
        System.arraycopy(b, b.length - copy, out, len - copy, copy);
        Arrays.fill(b, (byte) 0);
        return out;
    }

    /** An exportable key's PrivateKeyBytes ({@code getPrivateKey}); the caller wipes them. */
    public static byte[] privateKeyBytes(String provider, String container, int keySpec, byte[] pin)
            throws Exception {
        return MSCAPI.getPrivateKey(provider, container, keySpec, pin);
    }

    /** Adds a certificate (bound to a container in MY when one is named); null when the store refuses it. */
    public static Records.CertId addCert(byte[] certificate, String provider, String container, int keySpec,
            String friendlyName, StoreKind store) throws Exception {
        byte[] id = MSCAPI.addCertToStore(certificate, provider, container, keySpec, friendlyName, store.code);
        return id == null ? null : Records.certId(id);
    }

    public static void setFriendlyName(String friendlyName, byte[] serial, byte[] issuer, StoreKind store)
            throws Exception {
        MSCAPI.setFriendlyName(friendlyName, serial, issuer, store.code);
    }

    public static void setFlags(byte[] flags, byte[] serial, byte[] issuer, StoreKind store) throws Exception {
        MSCAPI.setFlags(flags, serial, issuer, store.code);
    }

    public static void deleteCert(byte[] serial, byte[] issuer, StoreKind store) throws Exception {
        MSCAPI.deleteCertFromStore(serial, issuer, store.code);
    }

    public static List<Records.Cert> certs(StoreKind store) throws Exception {
        return Records.certs(MSCAPI.queryCerts(store.code));
    }

    /** A store's list as the library gives it, for readers that decode records lazily ({@link Records#certAt}). */
    static byte[] certList(StoreKind store) throws Exception {
        return MSCAPI.queryCerts(store.code);
    }

    /** The signature of a hash value, least significant byte first as CryptoAPI gives it. */
    public static byte[] sign(String provider, String container, int keySpec, byte[] hash, HashAlg alg)
            throws Exception {
        return MSCAPI.sign(provider, container, keySpec, hash, hash.length, alg.algId);
    }

    /** As {@link #sign}, with the container acquired silently (see {@link SilentSigning}). */
    static byte[] signSilently(String provider, String container, int keySpec, byte[] hash, HashAlg alg)
            throws Exception {
        return SilentSigning.sign(provider, container, keySpec, hash, hash.length, alg.algId);
    }

    /** As {@link #sign}, presenting the PIN first. */
    public static byte[] verifyAndSign(String provider, String container, int keySpec, byte[] hash, HashAlg alg,
            byte[] pin) throws Exception {
        return MSCAPI.verifyAndSign(provider, container, keySpec, hash, hash.length, alg.algId, pin);
    }

    /**
     * Whether the container's key of {@code keySpec} is the RSA key
     * ({@code modulus}, {@code exponent}): the comparison the provider makes
     * for a key bound to a certificate. Throws the library's exception when
     * the key cannot be read.
     */
    public static boolean containerHolds(String provider, String container, int keySpec, BigInteger modulus,
            BigInteger exponent) throws Exception {
        return ContainerKeys.holds(provider, container, keySpec, modulus, exponent);
    }

    /** The words for a container that holds another key than its certificate's. */
    public static String otherKey(String container) {
        return ContainerKeys.otherKey(container);
    }
}
