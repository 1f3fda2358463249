package com.qel.varnel;

import java.math.BigInteger;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.PrivateKey;
import java.security.PublicKey;
import java.security.cert.X509Certificate;
import java.time.Duration;
import java.time.Instant;
import java.util.Date;
import java.util.concurrent.atomic.AtomicLong;
import org.bouncycastle.asn1.x500.X500Name;
import org.bouncycastle.asn1.x509.BasicConstraints;
import org.bouncycastle.asn1.x509.Extension;
import org.bouncycastle.asn1.x509.KeyUsage;
import org.bouncycastle.cert.X509v3CertificateBuilder;
import org.bouncycastle.cert.jcajce.JcaX509CertificateConverter;
import org.bouncycastle.cert.jcajce.JcaX509v3CertificateBuilder;
import org.bouncycastle.operator.jcajce.JcaContentSignerBuilder;

/** Keys and certificates for the provider's tests, made by the JDK and Bouncy Castle. */
final class Pki {
    private Pki() {
    }

    private static final AtomicLong SERIAL = new AtomicLong(System.nanoTime());

    static KeyPair rsa(int bits) throws Exception {
        KeyPairGenerator g = KeyPairGenerator.getInstance("RSA", "SunRsaSign");
        g.initialize(bits);
        return g.generateKeyPair();
    }

    /** A certificate for `subject`'s key, signed by `issuerKey` as `issuer`; a CA when `ca`. */
    static X509Certificate cert(String subject, PublicKey key, String issuer, PrivateKey issuerKey, boolean ca)
            throws Exception {
        Instant now = Instant.now();
        X509v3CertificateBuilder b = new JcaX509v3CertificateBuilder(new X500Name(issuer),
                BigInteger.valueOf(SERIAL.incrementAndGet()), Date.from(now.minus(Duration.ofDays(1))),
                Date.from(now.plus(Duration.ofDays(30))), new X500Name(subject), key);
        b.addExtension(Extension.basicConstraints, true, new BasicConstraints(ca));
        b.addExtension(Extension.keyUsage, true, new KeyUsage(ca ? KeyUsage.keyCertSign | KeyUsage.cRLSign
                : KeyUsage.digitalSignature | KeyUsage.keyEncipherment));
        return new JcaX509CertificateConverter().getCertificate(
                b.build(new JcaContentSignerBuilder("SHA256withRSA").build(issuerKey)));
    }

    static X509Certificate selfSigned(String subject, KeyPair kp, boolean ca) throws Exception {
        return cert(subject, kp.getPublic(), subject, kp.getPrivate(), ca);
    }
}
