package com.qel.varnel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.math.BigInteger;
import java.security.KeyFactory;
import java.security.MessageDigest;
import java.security.PrivateKey;
import java.security.PublicKey;
import java.security.Signature;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.RSAPrivateCrtKeySpec;
import java.security.spec.RSAPublicKeySpec;
import java.util.Arrays;
import org.junit.jupiter.api.function.Executable;

/** Shared helpers of the key and signing tests: layouts read independently, by the JDK. */
final class Keys {
    static final String STRONG = "Microsoft Strong Cryptographic Provider";
    static final String BASE = "Microsoft Base Cryptographic Provider v1.0";
    static final String ENHANCED = "Microsoft Enhanced Cryptographic Provider v1.0";
    static final String TOKEN = "Soft Token RSA Provider";

    static final int AT_KEYEXCHANGE = 1;
    static final int AT_SIGNATURE = 2;
    static final int CALG_MD5 = 0x8003;
    static final int CALG_SHA1 = 0x8004;
    static final int CALG_SSL3_SHAMD5 = 0x8008;
    static final int CALG_SHA_256 = 0x800C;
    static final int CALG_SHA_384 = 0x800D;
    static final int CALG_SHA_512 = 0x800E;

    static final String GEN_FAILED = "Failed to generate key pair!";
    static final String NOT_FOUND = "Key container not found!";
    static final String IMPORT_FAILED = "Failed to import key pair!";
    static final String REFUSED = "SSLRuntimeException04";
    static final String EXPORT_FAILED = "Private key export failed !";
    static final String SIGN_FAILED = "Failed to sign data!";
    static final String NO_DATA = "No data provided !";

    private Keys() {
    }

    /** The key raises java.lang.Exception itself with exactly this message. */
    static void assertFails(String message, Executable call) {
        Exception e = assertThrows(Exception.class, call);
        assertSame(Exception.class, e.getClass(), () -> "unexpected " + e);
        assertEquals(message, e.getMessage());
    }

    /** PublicKeyBytes: exponent 4 bytes little-endian, then the modulus big-endian. */
    static RSAPublicKey publicKey(byte[] publicKeyBytes) throws Exception {
        long e = (publicKeyBytes[0] & 0xFFL) | (publicKeyBytes[1] & 0xFFL) << 8
                | (publicKeyBytes[2] & 0xFFL) << 16 | (publicKeyBytes[3] & 0xFFL) << 24;
        BigInteger n = new BigInteger(1, Arrays.copyOfRange(publicKeyBytes, 4, publicKeyBytes.length));
        return (RSAPublicKey) KeyFactory.getInstance("RSA")
                .generatePublic(new RSAPublicKeySpec(n, BigInteger.valueOf(e)));
    }

    /** PrivateKeyBytes read field by field, as an RSAPrivateCrtKeySpec the JDK accepts. */
    static RSAPrivateCrtKey privateKey(byte[] b) throws Exception {
        assertEquals(0, (b.length - 4) % 9, "PrivateKeyBytes length is 9h + 4");
        int h = (b.length - 4) / 9;
        BigInteger n = field(b, 0, 2 * h);
        BigInteger e = field(b, 2 * h, 4);
        BigInteger d = field(b, 2 * h + 4, 2 * h);
        BigInteger[] five = new BigInteger[5];
        for (int i = 0; i < 5; i++) {
            five[i] = field(b, 4 * h + 4 + i * h, h);
        }
        return (RSAPrivateCrtKey) KeyFactory.getInstance("RSA").generatePrivate(
                new RSAPrivateCrtKeySpec(n, e, d, five[0], five[1], five[2], five[3], five[4]));
    }

    static BigInteger field(byte[] b, int at, int len) {
        return new BigInteger(1, Arrays.copyOfRange(b, at, at + len));
    }

    /** The number as exactly `width` big-endian bytes (sign byte dropped, zero-padded). */
    static byte[] fixed(BigInteger v, int width) {
        byte[] raw = v.toByteArray();
        byte[] out = new byte[width];
        int take = Math.min(raw.length, width);
        System.arraycopy(raw, raw.length - take, out, width - take, take);
        return out;
    }

    /** What PrivateKeyBytes must hold for this key of `bits` bits. */
    static byte[] expectedPrivateKeyBytes(RSAPrivateCrtKey k, int bits) {
        int h = bits / 16;
        byte[] out = new byte[9 * h + 4];
        int at = 0;
        for (byte[] f : new byte[][] {fixed(k.getModulus(), 2 * h), fixed(k.getPublicExponent(), 4),
                fixed(k.getPrivateExponent(), 2 * h), fixed(k.getPrimeP(), h), fixed(k.getPrimeQ(), h),
                fixed(k.getPrimeExponentP(), h), fixed(k.getPrimeExponentQ(), h),
                fixed(k.getCrtCoefficient(), h)}) {
            System.arraycopy(f, 0, out, at, f.length);
            at += f.length;
        }
        return out;
    }

    static String jdkName(int algId) {
        switch (algId) {
            case CALG_MD5: return "MD5";
            case CALG_SHA1: return "SHA-1";
            case CALG_SHA_256: return "SHA-256";
            case CALG_SHA_384: return "SHA-384";
            case CALG_SHA_512: return "SHA-512";
            default: throw new IllegalArgumentException("no JDK name for " + algId);
        }
    }

    static String signatureName(int algId) {
        return jdkName(algId).replace("-", "") + "withRSA";
    }

    /** The hash value the library signs for `data`: the JDK's digest (MD5 || SHA-1 for SSL3_SHAMD5). */
    static byte[] hash(int algId, byte[] data) throws Exception {
        if (algId == CALG_SSL3_SHAMD5) {
            byte[] md5 = MessageDigest.getInstance("MD5").digest(data);
            byte[] sha1 = MessageDigest.getInstance("SHA-1").digest(data);
            byte[] out = Arrays.copyOf(md5, 36);
            System.arraycopy(sha1, 0, out, 16, 20);
            return out;
        }
        return MessageDigest.getInstance(jdkName(algId)).digest(data);
    }

    /** Verifies a big-endian signature of `data` independently of the library. */
    static void assertVerifies(PublicKey key, int algId, byte[] data, byte[] signature) throws Exception {
        if (algId == CALG_SSL3_SHAMD5) {
            // PKCS#1 v1.5 type 1 padding around the bare 36 bytes, no DigestInfo.
            RSAPublicKey rsa = (RSAPublicKey) key;
            int k = (rsa.getModulus().bitLength() + 7) / 8;
            assertEquals(k, signature.length);
            byte[] em = fixed(new BigInteger(1, signature).modPow(rsa.getPublicExponent(), rsa.getModulus()), k);
            byte[] h = hash(algId, data);
            assertEquals(0, em[0]);
            assertEquals(1, em[1]);
            for (int i = 2; i < k - 37; i++) {
                assertEquals((byte) 0xFF, em[i], "padding byte " + i);
            }
            assertEquals(0, em[k - 37]);
            assertTrue(Arrays.equals(h, Arrays.copyOfRange(em, k - 36, k)), "SSL3_SHAMD5 hash");
            return;
        }
        Signature v = Signature.getInstance(signatureName(algId));
        v.initVerify(key);
        v.update(data);
        assertTrue(v.verify(signature), "signature does not verify with " + signatureName(algId));
    }

    static void assertSignsFor(PrivateKey priv, PublicKey pub) throws Exception {
        Signature s = Signature.getInstance("SHA256withRSA");
        s.initSign(priv);
        s.update(new byte[] {1, 2, 3});
        byte[] sig = s.sign();
        s.initVerify(pub);
        s.update(new byte[] {1, 2, 3});
        assertTrue(s.verify(sig), "private and public key do not belong together");
    }

    /** Imports a JDK key with components as BigInteger.toByteArray gives them (sign bytes and all). */
    static void importJdkKey(String provider, String container, int keySpec, RSAPrivateCrtKey k, int bits,
            byte[] password) {
        MSCAPI.importKeyPairPwd(provider, container, keySpec, k.getModulus().toByteArray(), bits,
                k.getPublicExponent().intValueExact(), k.getPrivateExponent().toByteArray(),
                k.getPrimeP().toByteArray(), k.getPrimeQ().toByteArray(), k.getPrimeExponentP().toByteArray(),
                k.getPrimeExponentQ().toByteArray(), k.getCrtCoefficient().toByteArray(), password);
    }

    /**
     * A JDK key pair whose components, as BigInteger.toByteArray gives them, each hold at least
     * their field's length (n bytes, or n/2): the import takes the least significant bytes of each
     * array and refuses a shorter one.
     */
    static RSAPrivateCrtKey jdkKey(int bits) throws Exception {
        java.security.KeyPairGenerator g = java.security.KeyPairGenerator.getInstance("RSA");
        g.initialize(bits);
        while (true) {
            RSAPrivateCrtKey k = (RSAPrivateCrtKey) g.generateKeyPair().getPrivate();
            int n = bits / 8;
            int h = n / 2;
            if (k.getPrivateExponent().toByteArray().length >= n && k.getPrimeP().toByteArray().length >= h
                    && k.getPrimeQ().toByteArray().length >= h && k.getPrimeExponentP().toByteArray().length >= h
                    && k.getPrimeExponentQ().toByteArray().length >= h
                    && k.getCrtCoefficient().toByteArray().length >= h) {
                return k;
            }
        }
    }
}
