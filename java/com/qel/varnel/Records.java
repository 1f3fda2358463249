package com.qel.varnel;

import java.math.BigInteger;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * Readers of the byte layouts that {@link MSCAPI}'s methods return: 32-bit
 * little-endian integers and length-prefixed fields, lists led by a count.
 */
public final class Records {
    private Records() {
    }

    /** One record of a certificate list ({@code queryCerts}). */
    public record Cert(byte[] encoded, byte[] serial, byte[] issuer, String friendlyName, String provider,
            String container, int keySpec, byte[] description) {
        /** Whether the certificate is bound to a key container (personal store only). */
        public boolean hasKey() {
            return keySpec != 0 && !container.isEmpty();
        }
    }

    /** One record of a key pair list ({@code queryKeyPairs}). */
    public record KeyPair(String provider, String container, BigInteger modulus, int keySpec, long publicExponent) {
        /** The key's length in bits. */
        public int bits() {
            return modulus.bitLength();
        }
    }

    /** A certificate's lookup key ({@code addCertToStore}): serial least significant byte first, issuer DER. */
    public record CertId(byte[] serial, byte[] issuer) {
    }

    /** A certificate list, in the order the library gives it. */
    public static List<Cert> certs(byte[] list) {
        Reader r = new Reader(list);
        int n = r.count();
        List<Cert> out = new ArrayList<>(n);
        for (int i = 0; i < n; i++) {
            out.add(new Cert(r.field(), r.field(), r.field(), r.latin1(), r.name(), r.name(), r.u32(), r.field()));
        }
        return out;
    }

    /**
     * Where each record of a certificate list begins, checked to lie within
     * the list, without copying any field: for readers that decode a record
     * only when it is asked for ({@link #certAt}).
     */
    public static int[] certOffsets(byte[] list) {
        Reader r = new Reader(list);
        int n = r.count();
        int[] at = new int[n];
        for (int i = 0; i < n; i++) {
            at[i] = r.position();
            r.skip(6); // certificate, serial, issuer, friendly name, provider, container
            r.u32(); // key spec
            r.skip(1); // description
        }
        return at;
    }

    /** The certificate record that begins at `offset` of a list (see {@link #certOffsets}). */
    public static Cert certAt(byte[] list, int offset) {
        Reader r = new Reader(list);
        r.seek(offset);
        return new Cert(r.field(), r.field(), r.field(), r.latin1(), r.name(), r.name(), r.u32(), r.field());
    }

    /** A key pair list, in the order the library gives it. */
    public static List<KeyPair> keyPairs(byte[] list) {
        Reader r = new Reader(list);
        int n = r.count();
        List<KeyPair> out = new ArrayList<>(n);
        for (int i = 0; i < n; i++) {
            String provider = r.name();
            String container = r.name();
            BigInteger modulus = new BigInteger(1, r.field());
            int keySpec = r.u32();
            out.add(new KeyPair(provider, container, modulus, keySpec, Integer.toUnsignedLong(r.u32())));
        }
        return out;
    }

    /** A provider list, the default provider first. */
    public static List<String> providers(byte[] list) {
        Reader r = new Reader(list);
        int n = r.count();
        List<String> out = new ArrayList<>(n);
        for (int i = 0; i < n; i++) {
            out.add(r.name());
        }
        return out;
    }

    /** A {@code CertId}. */
    public static CertId certId(byte[] bytes) {
        Reader r = new Reader(bytes);
        return new CertId(r.field(), r.field());
    }

    /**
     * The public key that {@code generateKeyPair} returns: {modulus, exponent}
     * from a 32-bit little-endian exponent followed by the big-endian modulus.
     */
    public static BigInteger[] publicKey(byte[] bytes) {
        if (bytes == null || bytes.length < 5) {
            throw new IllegalArgumentException("not a public key: " + (bytes == null ? 0 : bytes.length) + " bytes");
        }
        long e = ByteBuffer.wrap(bytes, 0, 4).order(ByteOrder.LITTLE_ENDIAN).getInt() & 0xFFFFFFFFL;
        return new BigInteger[] {new BigInteger(1, Arrays.copyOfRange(bytes, 4, bytes.length)), BigInteger.valueOf(e)};
    }

    /**
     * A provider or container name as the library hands it back: the bytes
     * Java gave it (modified UTF-8), or UTF-8 from a registry file, else
     * ISO 8859-1 byte by byte.
     */
    public static String name(byte[] bytes) {
        boolean ascii = true;
        for (byte b : bytes) {
            ascii &= b > 0;
        }
        if (ascii) {
            // The usual name: every reading gives the same characters.
            return new String(bytes, StandardCharsets.ISO_8859_1);
        }
        if (bytes.length <= 0xFFFF) {
            byte[] framed = new byte[bytes.length + 2];
            framed[0] = (byte) (bytes.length >>> 8);
            framed[1] = (byte) bytes.length;
            System.arraycopy(bytes, 0, framed, 2, bytes.length);
            try {
                return new java.io.DataInputStream(new java.io.ByteArrayInputStream(framed)).readUTF();
            } catch (java.io.IOException e) {
                // not modified UTF-8: try the others
            }
        }
        try {
            return StandardCharsets.UTF_8.newDecoder().onMalformedInput(CodingErrorAction.REPORT)
                    .onUnmappableCharacter(CodingErrorAction.REPORT).decode(ByteBuffer.wrap(bytes)).toString();
        } catch (CharacterCodingException e) {
            return new String(bytes, StandardCharsets.ISO_8859_1);
        }
    }

    /** Big-endian serial number from the store's least-significant-first bytes. */
    public static BigInteger serial(byte[] littleEndian) {
        byte[] be = new byte[littleEndian.length];
        for (int i = 0; i < be.length; i++) {
            be[i] = littleEndian[be.length - 1 - i];
        }
        return new BigInteger(1, be);
    }

    /** A reader over one layout; a truncated layout fails with IllegalArgumentException. */
    static final class Reader {
        private final ByteBuffer b;

        Reader(byte[] data) {
            b = ByteBuffer.wrap(data == null ? new byte[0] : data).order(ByteOrder.LITTLE_ENDIAN);
        }

        int position() {
            return b.position();
        }

        void seek(int offset) {
            b.position(offset);
        }

        /** Passes over `n` length-prefixed fields. */
        void skip(int n) {
            for (int i = 0; i < n; i++) {
                int len = u32();
                if (len < 0 || len > b.remaining()) {
                    throw new IllegalArgumentException("field of " + Integer.toUnsignedString(len) + " bytes at byte "
                            + (b.position() - 4) + " runs past the end");
                }
                b.position(b.position() + len);
            }
        }

        int u32() {
            if (b.remaining() < 4) {
                throw new IllegalArgumentException("layout ends early at byte " + b.position());
            }
            return b.getInt();
        }

        int count() {
            int n = u32();
            if (n < 0 || n > b.remaining() / 4) {
                throw new IllegalArgumentException("record count " + Integer.toUnsignedString(n) + " is too large");
            }
            return n;
        }

        byte[] field() {
            int len = u32();
            if (len < 0 || len > b.remaining()) {
                throw new IllegalArgumentException("field of " + Integer.toUnsignedString(len) + " bytes at byte "
                        + (b.position() - 4) + " runs past the end");
            }
            byte[] f = new byte[len];
            b.get(f);
            return f;
        }

        String latin1() {
            return new String(field(), StandardCharsets.ISO_8859_1);
        }

        String name() {
            return Records.name(field());
        }
    }
}
