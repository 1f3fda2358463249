package com.qel.varnel;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.Signature;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import javax.security.auth.x500.X500Principal;

/** Certificates made by the tests themselves, and their lookup key (CertId). */
final class Certs {
    private Certs() {
    }

    static final int MY = 1;
    static final int ROOT = 2;
    static final int CA = 3;
    static final int ADDRESS_BOOK = 4;
    static final int VARNEL = 5;

    private static KeyPair key;

    private static synchronized KeyPair key() throws Exception {
        if (key == null) {
            KeyPairGenerator g = KeyPairGenerator.getInstance("RSA");
            g.initialize(1024);
            key = g.generateKeyPair();
        }
        return key;
    }

    static byte[] der(int tag, byte[]... parts) {
        ByteArrayOutputStream content = new ByteArrayOutputStream();
        for (byte[] p : parts) {
            content.writeBytes(p);
        }
        int n = content.size();
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        out.write(tag);
        if (n < 0x80) {
            out.write(n);
        } else if (n < 0x100) {
            out.write(0x81);
            out.write(n);
        } else {
            out.write(0x82);
            out.write(n >> 8);
            out.write(n & 0xFF);
        }
        out.writeBytes(content.toByteArray());
        return out.toByteArray();
    }

    private static byte[] utcTime(String s) {
        return der(0x17, s.getBytes(StandardCharsets.US_ASCII));
    }

    /** A v3 certificate signed with SHA256withRSA by the tests' own key. */
    static byte[] make(BigInteger serial, String issuer, String subject) throws Exception {
        byte[] sha256WithRsa = der(0x30, der(0x06, new byte[] {0x2A, (byte) 0x86, 0x48, (byte) 0x86, (byte) 0xF7,
            0x0D, 0x01, 0x01, 0x0B}), new byte[] {0x05, 0x00});
        byte[] tbs = der(0x30, der(0xA0, der(0x02, new byte[] {2})), der(0x02, serial.toByteArray()), sha256WithRsa,
                new X500Principal(issuer).getEncoded(),
                der(0x30, utcTime("240101000000Z"), utcTime("340101000000Z")),
                new X500Principal(subject).getEncoded(), key().getPublic().getEncoded());
        Signature s = Signature.getInstance("SHA256withRSA");
        s.initSign(key().getPrivate());
        s.update(tbs);
        byte[] sig = s.sign();
        byte[] bits = new byte[sig.length + 1];
        System.arraycopy(sig, 0, bits, 1, sig.length);
        return der(0x30, tbs, sha256WithRsa, der(0x03, bits));
    }

    private static long next = 1000;

    /** A fresh certificate with its own serial number. */
    static synchronized byte[] fresh(String name) throws Exception {
        return make(BigInteger.valueOf(next++), "CN=Test Issuer " + name + ", O=Varnel Tests", "CN=" + name);
    }

    /** A certificate made by the JDK's keytool in a throw-away keystore. */
    static byte[] fromKeytool(String dname) throws Exception {
        Path dir = Files.createTempDirectory("certs-keytool-");
        try {
            Path ks = dir.resolve("ks.p12");
            Path out = dir.resolve("cert.der");
            String keytool = Path.of(System.getProperty("java.home"), "bin", "keytool").toString();
            run(keytool, "-genkeypair", "-keystore", ks.toString(), "-storepass", "changeit", "-alias", "a",
                    "-keyalg", "RSA", "-keysize", "1024", "-dname", dname, "-validity", "30");
            run(keytool, "-exportcert", "-keystore", ks.toString(), "-storepass", "changeit", "-alias", "a",
                    "-file", out.toString());
            return Files.readAllBytes(out);
        } finally {
            try (var files = Files.walk(dir)) {
                files.sorted((a, b) -> b.getNameCount() - a.getNameCount()).forEach(p -> p.toFile().delete());
            }
        }
    }

    private static void run(String... cmd) throws Exception {
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String output = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (p.waitFor() != 0) {
            throw new AssertionError(String.join(" ", cmd) + " failed: " + output);
        }
    }

    static X509Certificate x509(byte[] der) throws Exception {
        return (X509Certificate) CertificateFactory.getInstance("X.509")
                .generateCertificate(new ByteArrayInputStream(der));
    }

    /** The serial number as the platform keeps it: the DER integer's bytes, least significant first. */
    static byte[] platformSerial(X509Certificate c) {
        byte[] be = c.getSerialNumber().toByteArray();
        byte[] le = new byte[be.length];
        for (int i = 0; i < be.length; i++) {
            le[i] = be[be.length - 1 - i];
        }
        return le;
    }

    /** CertId: serial number, then issuer. */
    static final class Id {
        final byte[] serial;
        final byte[] issuer;

        Id(byte[] serial, byte[] issuer) {
            this.serial = serial;
            this.issuer = issuer;
        }

        static Id of(byte[] der) throws Exception {
            X509Certificate c = x509(der);
            return new Id(platformSerial(c), c.getIssuerX500Principal().getEncoded());
        }
    }
}
