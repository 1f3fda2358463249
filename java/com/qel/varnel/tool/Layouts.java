package com.qel.varnel.tool;

import java.math.BigInteger;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/** Readers of the library's result layouts (little-endian, length-prefixed). */
final class Layouts {
    private Layouts() {
    }

    static final class Reader {
        private final ByteBuffer b;

        Reader(byte[] data) {
            b = ByteBuffer.wrap(data).order(ByteOrder.LITTLE_ENDIAN);
        }

        int u32() {
            return b.getInt();
        }

        byte[] field() {
            byte[] f = new byte[b.getInt()];
            b.get(f);
            return f;
        }

        String text() {
            return new String(field(), StandardCharsets.ISO_8859_1);
        }

        /** A provider or container name: see {@link Layouts#name(byte[])}. */
        String name() {
            return Layouts.name(field());
        }
    }

    /** A provider or container name as the library hands it (see {@link com.qel.varnel.Records#name}). */
    static String name(byte[] bytes) {
        return com.qel.varnel.Records.name(bytes);
    }

    static List<String> providers(byte[] list) {
        Reader r = new Reader(list);
        int n = r.u32();
        List<String> names = new ArrayList<>();
        for (int i = 0; i < n; i++) {
            names.add(r.name());
        }
        return names;
    }

    /** One record of a KeyPairList. */
    record KeyPair(String provider, String container, BigInteger modulus, int keySpec, long publicExponent) {
        int bits() {
            return modulus.bitLength();
        }
    }

    static List<KeyPair> keyPairs(byte[] list) {
        Reader r = new Reader(list);
        int n = r.u32();
        List<KeyPair> keys = new ArrayList<>();
        for (int i = 0; i < n; i++) {
            String provider = r.name();
            String container = r.name();
            BigInteger modulus = new BigInteger(1, r.field());
            int keySpec = r.u32();
            long exponent = Integer.toUnsignedLong(r.u32());
            keys.add(new KeyPair(provider, container, modulus, keySpec, exponent));
        }
        return keys;
    }

    /** The public key of a PublicKeyBytes result: exponent (4 bytes, little-endian), modulus big-endian. */
    static BigInteger[] publicKey(byte[] bytes) {
        long e = ByteBuffer.wrap(bytes, 0, 4).order(ByteOrder.LITTLE_ENDIAN).getInt() & 0xFFFFFFFFL;
        BigInteger n = new BigInteger(1, Arrays.copyOfRange(bytes, 4, bytes.length));
        return new BigInteger[] {n, BigInteger.valueOf(e)};
    }

    /** A CertId: serial number (least significant byte first) and issuer DER. */
    record CertId(byte[] serial, byte[] issuer) {
    }

    static CertId certId(byte[] bytes) {
        Reader r = new Reader(bytes);
        return new CertId(r.field(), r.field());
    }

    /** One record of a CertList. */
    record Cert(byte[] encoded, byte[] serial, byte[] issuer, String friendlyName, String provider, String container,
            int keySpec, byte[] description) {
    }

    static List<Cert> certs(byte[] list) {
        Reader r = new Reader(list);
        int n = r.u32();
        List<Cert> certs = new ArrayList<>();
        for (int i = 0; i < n; i++) {
            certs.add(new Cert(r.field(), r.field(), r.field(), r.text(), r.name(), r.name(), r.u32(), r.field()));
        }
        return certs;
    }

    /** Big-endian hex of a serial number kept least significant byte first. */
    static String serialHex(byte[] littleEndian) {
        byte[] be = littleEndian.clone();
        for (int i = 0, j = be.length - 1; i < j; i++, j--) {
            byte t = be[i];
            be[i] = be[j];
            be[j] = t;
        }
        return new BigInteger(1, be).toString(16);
    }
}
