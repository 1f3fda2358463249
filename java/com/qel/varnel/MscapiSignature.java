package com.qel.varnel;

import java.io.ByteArrayOutputStream;
import java.security.InvalidAlgorithmParameterException;
import java.security.InvalidKeyException;
import java.security.InvalidParameterException;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.security.PrivateKey;
import java.security.PublicKey;
import java.security.SignatureException;
import java.security.SignatureSpi;
import java.security.spec.AlgorithmParameterSpec;
import java.util.Arrays;

/**
 * RSA PKCS#1 v1.5 signatures made by a key container's key: the data is
 * hashed here with the JDK's {@link MessageDigest}, the hash value is signed
 * by the provider. Verification is left to the JDK's providers (a public key
 * is refused here, so the JCA picks another provider for it).
 *
 * <p>A key bound to a certificate signs only as the certificate's key: its
 * container's key is compared with the certificate's at {@code initSign},
 * after the first signature that follows it, and after a later signature
 * once the last comparison is {@link KeyAccess#COMPARED_FOR} old; a
 * signature followed by a comparison that fails is not returned.
 */
public abstract class MscapiSignature extends SignatureSpi {
    private MscapiPrivateKey key;
    private byte[] pin;
    /** No signature made since initSign: the next one is compared after it whatever the time. */
    private boolean fresh;

    MscapiSignature() {
    }

    @Override
    protected void engineInitSign(PrivateKey privateKey) throws InvalidKeyException {
        if (!(privateKey instanceof MscapiPrivateKey k)) {
            throw new InvalidKeyException("the MSCAPI provider signs only with keys from its key stores or key pair "
                    + "generator, not " + (privateKey == null ? "null" : privateKey.getClass().getName()));
        }
        key = null;
        MscapiPrivateKey.wipe(pin);
        pin = null;
        reset();
        // A key bound to a certificate signs only as the certificate's key:
        // its container may have been made again since the key was obtained.
        Exception other = KeyAccess.notBound(k, false);
        if (other != null) {
            throw new InvalidKeyException(other.getMessage(), other.getCause());
        }
        key = k;
        fresh = true;
    }

    @Override
    protected void engineInitVerify(PublicKey publicKey) throws InvalidKeyException {
        throw new InvalidKeyException("the MSCAPI provider does not verify; the JDK's providers do");
    }

    @Override
    protected void engineSetParameter(AlgorithmParameterSpec params) throws InvalidAlgorithmParameterException {
        if (!(params instanceof MscapiPin spec)) {
            throw new InvalidAlgorithmParameterException("only an MscapiPin is taken");
        }
        char[] chars = spec.getPin();
        try {
            MscapiPrivateKey.wipe(pin);
            pin = MscapiPrivateKey.pinBytes(chars);
        } finally {
            if (chars != null) {
                Arrays.fill(chars, '\0');
            }
        }
    }

    @Override
    @Deprecated
    protected void engineSetParameter(String param, Object value) throws InvalidParameterException {
        throw new InvalidParameterException("no parameter \"" + param + "\"; use setParameter(MscapiPin)");
    }

    @Override
    @Deprecated
    protected Object engineGetParameter(String param) throws InvalidParameterException {
        throw new InvalidParameterException("no parameter \"" + param + "\"");
    }

    @Override
    protected byte[] engineSign() throws SignatureException {
        if (key == null) {
            throw new SignatureException("not initialised for signing");
        }
        byte[] hash = hashValue();
        byte[] signature = KeyAccess.sign(key, pin, hash, algId(hash));
        // Compared again after the signature (the first one after initSign
        // always, a later one once the last comparison is COMPARED_FOR old):
        // a container made again since the comparison made it with another
        // key, which the library's view of the key shows from then on. A
        // later signature within that time of a comparison is returned as
        // made: a Signature that signs many times costs no extra call into
        // the library per signature.
        Exception other = KeyAccess.notBound(key, true, fresh ? 0 : KeyAccess.COMPARED_FOR);
        fresh = false;
        if (other != null) {
            Arrays.fill(signature, (byte) 0);
            throw new SignatureException(other.getMessage(), other.getCause());
        }
        return signature;
    }

    @Override
    protected boolean engineVerify(byte[] sigBytes) throws SignatureException {
        throw new SignatureException("the MSCAPI provider does not verify; the JDK's providers do");
    }

    /** Clears the data hashed so far. */
    abstract void reset();

    /** The hash value to sign, which also resets for the next signature. */
    abstract byte[] hashValue() throws SignatureException;

    /** The CryptoAPI algorithm of the hash value. */
    abstract HashAlg algId(byte[] hash) throws SignatureException;

    /** Data hashed with one MessageDigest algorithm, the DigestInfo added by the provider. */
    static class Hashed extends MscapiSignature {
        private final MessageDigest md;
        private final HashAlg algId;

        Hashed(String digest, HashAlg algId) {
            try {
                md = MessageDigest.getInstance(digest);
            } catch (NoSuchAlgorithmException e) {
                throw new IllegalStateException("the JDK has no " + digest, e);
            }
            this.algId = algId;
        }

        @Override
        protected void engineUpdate(byte b) {
            md.update(b);
        }

        @Override
        protected void engineUpdate(byte[] b, int off, int len) {
            md.update(b, off, len);
        }

        @Override
        protected void engineUpdate(java.nio.ByteBuffer input) {
            md.update(input);
        }

        @Override
        void reset() {
            md.reset();
        }

        @Override
        byte[] hashValue() {
            return md.digest();
        }

        @Override
        HashAlg algId(byte[] hash) {
            return algId;
        }
    }

    public static final class SHA1 extends Hashed {
        public SHA1() {
            super("SHA-1", HashAlg.SHA1);
        }
    }

    public static final class SHA256 extends Hashed {
        public SHA256() {
            super("SHA-256", HashAlg.SHA_256);
        }
    }

    public static final class SHA384 extends Hashed {
        public SHA384() {
            super("SHA-384", HashAlg.SHA_384);
        }
    }

    public static final class SHA512 extends Hashed {
        public SHA512() {
            super("SHA-512", HashAlg.SHA_512);
        }
    }

    public static final class MD5 extends Hashed {
        public MD5() {
            super("MD5", HashAlg.MD5);
        }
    }

    /**
     * NONEwithRSA: the data is either a DigestInfo (RFC 8017's encoding of a
     * hash value with its algorithm, which the provider writes again itself)
     * or the 36-byte MD5 and SHA-1 value of TLS 1.0 and 1.1, signed as it is.
     */
    public static final class None extends MscapiSignature {
        // The DigestInfo prefixes of RFC 8017, section 9.2, note 1, and their algorithms.
        private static final HashAlg[] ALGS = {HashAlg.MD5, HashAlg.SHA1, HashAlg.SHA_256, HashAlg.SHA_384, HashAlg.SHA_512};
        private static final byte[][] PREFIXES = {
            hex("3020300c06082a864886f70d020505000410"),
            hex("3021300906052b0e03021a05000414"),
            hex("3031300d060960864801650304020105000420"),
            hex("3041300d060960864801650304020205000430"),
            hex("3051300d060960864801650304020305000440"),
        };
        private static final int MAX = 64 + 19;

        private final ByteArrayOutputStream data = new ByteArrayOutputStream();
        private HashAlg algId;

        public None() {
        }

        @Override
        protected void engineUpdate(byte b) throws SignatureException {
            engineUpdate(new byte[] {b}, 0, 1);
        }

        @Override
        protected void engineUpdate(byte[] b, int off, int len) throws SignatureException {
            if (data.size() + len > MAX) {
                data.reset();
                throw new SignatureException("NONEwithRSA signs a DigestInfo or a 36-byte MD5 and SHA-1 value, "
                        + "not more than " + MAX + " bytes");
            }
            data.write(b, off, len);
        }

        @Override
        void reset() {
            data.reset();
        }

        @Override
        byte[] hashValue() throws SignatureException {
            byte[] in = data.toByteArray();
            data.reset();
            if (in.length == 36) {
                algId = HashAlg.SSL3_SHAMD5;
                return in;
            }
            for (int i = 0; i < PREFIXES.length; i++) {
                byte[] p = PREFIXES[i];
                if (in.length > p.length && in.length - p.length == (p[p.length - 1] & 0xFF)
                        && Arrays.equals(in, 0, p.length, p, 0, p.length)) {
                    algId = ALGS[i];
                    return Arrays.copyOfRange(in, p.length, in.length);
                }
            }
            throw new SignatureException("NONEwithRSA signs a DigestInfo of MD5, SHA-1, SHA-256, SHA-384 or SHA-512, "
                    + "or a 36-byte MD5 and SHA-1 value; got " + in.length + " bytes that are neither");
        }

        @Override
        HashAlg algId(byte[] hash) {
            return algId;
        }

        private static byte[] hex(String s) {
            return java.util.HexFormat.of().parseHex(s);
        }
    }
}
