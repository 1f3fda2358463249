package com.qel.varnel;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * An independent reader of the list and record results: ProviderList, KeyPairList, CertList and CertId, made of
 * 32-bit little-endian integers and length-prefixed fields, lists led by their record count. A layout that runs
 * past its end or leaves bytes after its last record is an IllegalArgumentException.
 */
final class Layouts {
    private Layouts() {
    }

    /** Fields one after another. */
    static final class Reader {
        private final ByteBuffer b;

        Reader(byte[] data) {
            b = ByteBuffer.wrap(data).order(ByteOrder.LITTLE_ENDIAN);
        }

        int u32() {
            if (b.remaining() < 4) {
                throw new IllegalArgumentException("an integer past the end at " + b.position());
            }
            return b.getInt();
        }

        byte[] field() {
            int n = u32();
            if (n < 0 || n > b.remaining()) {
                throw new IllegalArgumentException("field length " + n + " past the end at " + b.position());
            }
            byte[] f = new byte[n];
            b.get(f);
            return f;
        }

        String text() {
            return new String(field(), StandardCharsets.ISO_8859_1);
        }

        void end(String what) {
            if (b.hasRemaining()) {
                throw new IllegalArgumentException(b.remaining() + " bytes after the last " + what);
            }
        }
    }

    /** ProviderList: the provider names in the order given. */
    static List<String> providers(byte[] list) {
        Reader r = new Reader(list);
        int n = r.u32();
        List<String> names = new ArrayList<>();
        for (int i = 0; i < n; i++) {
            names.add(r.text());
        }
        r.end("provider");
        return names;
    }

    /** One KeyPairList record; `size` is the bytes it took. */
    record KeyPair(String provider, String container, byte[] modulus, int keySpec, int exponent, int size) {
        String id() {
            return provider + "/" + container + "/" + keySpec;
        }
    }

    static List<KeyPair> keyPairs(byte[] list) {
        Reader r = new Reader(list);
        int n = r.u32();
        List<KeyPair> recs = new ArrayList<>();
        for (int i = 0; i < n; i++) {
            String p = r.text();
            String c = r.text();
            byte[] m = r.field();
            int spec = r.u32();
            int exponent = r.u32();
            recs.add(new KeyPair(p, c, m, spec, exponent, p.length() + c.length() + m.length + 20));
        }
        r.end("key pair");
        return recs;
    }

    /** "provider/container/keySpec" of each record. */
    static List<String> ids(List<KeyPair> recs) {
        return recs.stream().map(KeyPair::id).toList();
    }

    /** One CertList record, field by field; `size` is the bytes it took. */
    static final class Cert {
        byte[] encoded;
        byte[] serial;
        byte[] issuer;
        byte[] friendlyName;
        String provider;
        String container;
        int keySpec;
        byte[] description;
        int size;

        Certs.Id id() {
            return new Certs.Id(serial, issuer);
        }
    }

    static List<Cert> certs(byte[] list) {
        Reader r = new Reader(list);
        int n = r.u32();
        List<Cert> out = new ArrayList<>();
        int consumed = 4;
        for (int i = 0; i < n; i++) {
            Cert e = new Cert();
            e.encoded = r.field();
            e.serial = r.field();
            e.issuer = r.field();
            e.friendlyName = r.field();
            e.provider = r.text();
            e.container = r.text();
            e.keySpec = r.u32();
            e.description = r.field();
            e.size = 32 + e.encoded.length + e.serial.length + e.issuer.length + e.friendlyName.length
                    + e.provider.length() + e.container.length() + e.description.length;
            consumed += e.size;
            out.add(e);
        }
        r.end("certificate");
        if (consumed != list.length) {
            throw new IllegalArgumentException("CertList length does not match its records");
        }
        return out;
    }

    /** CertId: serial number, then issuer. */
    static Certs.Id certId(byte[] certId) {
        Reader r = new Reader(certId);
        Certs.Id id = new Certs.Id(r.field(), r.field());
        r.end("field of CertId");
        return id;
    }
}
