package com.qel.varnel;

import java.math.BigInteger;

/**
 * The public key a key container holds, through an entry point of the
 * library's own beside {@link MSCAPI}'s methods, and the check that the
 * container of a certificate's binding holds the certificate's key. A
 * container deleted and made again under the same name while its
 * certificate stays bound in "MY" holds another key; signing through the
 * binding would then sign as the certificate's key with a key that is not
 * its own. Windows' {@code CryptAcquireCertificatePrivateKey} with
 * {@code CRYPT_ACQUIRE_COMPARE_KEY_FLAG} compares the two keys and fails with
 * {@code NTE_BAD_PUBLIC_KEY}; the provider and the tool compare them here.
 */
final class ContainerKeys {
    /** Name of the native library (reading MSCAPI's loads it); checkLink is asked about it. */
    static String LIB = MSCAPI.LIB;

    private static final int PUBLIC_MAGIC = 0x31415352; // "RSA1"
    private static final int MODULUS_OFFSET = 20;

    private ContainerKeys() {
    }

    /**
     * The container's key of {@code keySpec} as its provider exports it: a
     * PUBLICKEYBLOB (header, "RSA1", bit length, exponent, modulus, all
     * little-endian). Throws "Key container not found!" or "Failed to export
     * the public key!", with the platform's code in the cause.
     */
    static native byte[] publicKeyBlob(String providerName, String containerName, int keySpec);

    /**
     * Whether the container's key of {@code keySpec} is the RSA key
     * ({@code modulus}, {@code exponent}). Throws the library's exception
     * when the key cannot be read.
     */
    static boolean holds(String provider, String container, int keySpec, BigInteger modulus, BigInteger exponent)
            throws Exception {
        byte[] blob = publicKeyBlob(provider, container, keySpec);
        if (blob.length < MODULUS_OFFSET || le32(blob, 8) != PUBLIC_MAGIC) {
            return false;
        }
        long bits = le32(blob, 12) & 0xFFFFFFFFL;
        int n = (int) Math.min((bits + 7) / 8, blob.length - MODULUS_OFFSET);
        byte[] be = new byte[n];
        for (int i = 0; i < n; i++) {
            be[i] = blob[MODULUS_OFFSET + n - 1 - i];
        }
        BigInteger e = BigInteger.valueOf(le32(blob, 16) & 0xFFFFFFFFL);
        return e.equals(exponent) && new BigInteger(1, be).equals(modulus);
    }

    /** The words of a failure to sign as the certificate's key, naming the container. */
    static String otherKey(String container) {
        return "key container \"" + container + "\" holds another key than its certificate's (NTE_BAD_PUBLIC_KEY)";
    }

    private static int le32(byte[] b, int at) {
        return (b[at] & 0xFF) | (b[at + 1] & 0xFF) << 8 | (b[at + 2] & 0xFF) << 16 | (b[at + 3] & 0xFF) << 24;
    }
}
