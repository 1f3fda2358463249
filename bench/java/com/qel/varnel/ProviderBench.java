package com.qel.varnel;

import java.math.BigInteger;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.KeyStore;
import java.security.MessageDigest;
import java.security.PrivateKey;
import java.security.Signature;
import java.security.cert.Certificate;
import java.security.cert.X509Certificate;
import java.util.Arrays;
import java.util.Date;
import org.bouncycastle.asn1.x500.X500Name;
import org.bouncycastle.cert.jcajce.JcaX509CertificateConverter;
import org.bouncycastle.cert.jcajce.JcaX509v3CertificateBuilder;
import org.bouncycastle.operator.ContentSigner;
import org.bouncycastle.operator.jcajce.JcaContentSignerBuilder;

/**
 * The "MSCAPI" provider against the library's methods it sits on, same key,
 * same run: SHA256withRSA through Signature against MessageDigest plus
 * sign(), in alternating blocks; KeyStore.load of "MSCAPI-MY" holding
 * 10,000 certificates against queryCerts of the same store. Prints RATIO
 * lines (bench/README.md). Usage: ProviderBench ROUNDS BLOCK
 */
public final class ProviderBench {
    private ProviderBench() {
    }

    public static void main(String[] args) throws Exception {
        int rounds = Integer.parseInt(args[0]);
        int block = Integer.parseInt(args[1]);
        MscapiProvider p = new MscapiProvider();
        KeyPairGenerator g = KeyPairGenerator.getInstance("RSA", "SunRsaSign");
        g.initialize(2048);
        KeyPair kp = g.generateKeyPair();
        X509Certificate cert = cert("CN=Bench Signer", kp, kp.getPrivate(), 1);
        KeyStore my = KeyStore.getInstance("MSCAPI-MY", p);
        my.load(null, null);
        my.setKeyEntry("signer", kp.getPrivate(), null, new Certificate[] {cert});
        MscapiPrivateKey key = (MscapiPrivateKey) my.getKey("signer", null);
        byte[] data = new byte[1024];
        Arrays.fill(data, (byte) 7);
        Signature viaProvider = Signature.getInstance("SHA256withRSA", p);
        viaProvider.initSign(key);
        MessageDigest md = MessageDigest.getInstance("SHA-256");

        // Warm-up, then alternating blocks; the ratio of the medians of rates.
        for (int i = 0; i < 2 * block; i++) {
            viaProvider.update(data);
            viaProvider.sign();
            MSCAPI.sign(key.getProviderName(), key.getContainerName(), key.getKeySpec(), md.digest(data),
                    data.length, 0x800C);
        }
        double[] provider = new double[rounds];
        double[] direct = new double[rounds];
        for (int r = 0; r < rounds; r++) {
            for (int turn = 0; turn < 2; turn++) {
                boolean providerFirst = r % 2 == 0;
                boolean runProvider = (turn == 0) == providerFirst;
                long t0 = System.nanoTime();
                for (int i = 0; i < block; i++) {
                    if (runProvider) {
                        viaProvider.update(data);
                        viaProvider.sign();
                    } else {
                        MSCAPI.sign(key.getProviderName(), key.getContainerName(), key.getKeySpec(), md.digest(data),
                                data.length, 0x800C);
                    }
                }
                double rate = block / ((System.nanoTime() - t0) / 1e9);
                if (runProvider) {
                    provider[r] = rate;
                } else {
                    direct[r] = rate;
                }
            }
        }
        double[] ratios = new double[rounds];
        for (int r = 0; r < rounds; r++) {
            ratios[r] = provider[r] / direct[r];
        }
        System.out.printf("signatures/s: provider %.0f, sign() %.0f (medians of %d blocks of %d)%n", median(provider),
                median(direct), rounds, block);
        System.out.printf("RATIO provider_vs_sign %.3f >= 0.97 Signature SHA256withRSA through the provider / "
                + "MessageDigest + sign() on the same key (median of %d alternating block pairs)%n", median(ratios),
                rounds);

        // 10,000 certificates in MY, bound to the signer's container.
        KeyPairGenerator small = KeyPairGenerator.getInstance("RSA", "SunRsaSign");
        small.initialize(1024);
        KeyPair ca = small.generateKeyPair();
        ContentSigner signer = new JcaContentSignerBuilder("SHA256withRSA").build(ca.getPrivate());
        for (int i = 0; i < 10_000; i++) {
            X509Certificate c = new JcaX509CertificateConverter().getCertificate(new JcaX509v3CertificateBuilder(
                    new X500Name("CN=Bench CA"), BigInteger.valueOf(1000 + i), new Date(System.currentTimeMillis()
                            - 86_400_000L), new Date(System.currentTimeMillis() + 86_400_000L * 30),
                    new X500Name("CN=Bench " + i), kp.getPublic()).build(signer));
            MSCAPI.addCertToStore(c.getEncoded(), key.getProviderName(), key.getContainerName(), key.getKeySpec(),
                    null, 1);
        }
        double[] load = new double[11];
        double[] query = new double[11];
        double[] aliases = new double[11];
        for (int r = 0; r < 11; r++) {
            long t0 = System.nanoTime();
            byte[] list = MSCAPI.queryCerts(1);
            query[r] = (System.nanoTime() - t0) / 1e6;
            if (list.length == 0) {
                throw new IllegalStateException("no list");
            }
            KeyStore ks = KeyStore.getInstance("MSCAPI-MY", p);
            t0 = System.nanoTime();
            ks.load(null, null);
            load[r] = (System.nanoTime() - t0) / 1e6;
            t0 = System.nanoTime();
            int n = java.util.Collections.list(ks.aliases()).size();
            aliases[r] = (System.nanoTime() - t0) / 1e6;
            if (n != 10_001) {
                throw new IllegalStateException(n + " aliases");
            }
        }
        System.out.printf("MY with 10,001 certificates: queryCerts %.1f ms, KeyStore.load %.1f ms, first aliases() "
                + "%.1f ms (medians of 11)%n", median(query), median(load), median(aliases));
        System.out.printf("RATIO keystore_load_vs_queryCerts %.3f <= 1.3 KeyStore.load of MSCAPI-MY / queryCerts(MY), "
                + "10,001 certificates (medians of 11)%n", median(load) / median(query));
    }

    static X509Certificate cert(String subject, KeyPair kp, PrivateKey issuerKey, long serial) throws Exception {
        return new JcaX509CertificateConverter().getCertificate(new JcaX509v3CertificateBuilder(new X500Name(subject),
                BigInteger.valueOf(serial), new Date(System.currentTimeMillis() - 86_400_000L),
                new Date(System.currentTimeMillis() + 86_400_000L * 30), new X500Name(subject), kp.getPublic())
                .build(new JcaContentSignerBuilder("SHA256withRSA").build(issuerKey)));
    }

    static double median(double[] v) {
        double[] s = v.clone();
        Arrays.sort(s);
        return s[s.length / 2];
    }
}
