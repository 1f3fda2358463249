package com.qel.varnel;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.security.KeyPair;
import java.security.KeyStore;
import java.security.MessageDigest;
import java.security.PKCS12Attribute;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.Signature;
import java.security.SignatureException;
import java.security.cert.Certificate;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAKey;
import java.security.interfaces.RSAPrivateCrtKey;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HexFormat;
import java.util.List;
import java.util.Set;
import java.util.concurrent.atomic.AtomicInteger;
import javax.security.auth.callback.PasswordCallback;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * The "MSCAPI" JCA provider: key stores over the system stores, signatures
 * verified by the JDK, PINs from code and from callbacks, and the causes
 * that the library's exceptions carry.
 */
class ProviderTest {
    static final Provider P = new MscapiProvider();
    static final byte[] DATA = "data the provider signs".getBytes();
    static KeyPair alice;
    static X509Certificate aliceCert;
    static X509Certificate root;

    /** Alice's key goes into MY through setKeyEntry, her CA into ROOT through setCertificateEntry. */
    @BeforeAll
    static void store() throws Exception {
        KeyPair ca = Pki.rsa(2048);
        root = Pki.selfSigned("CN=Provider Test Root", ca, true);
        alice = Pki.rsa(2048);
        aliceCert = Pki.cert("CN=Alice Provider", alice.getPublic(), "CN=Provider Test Root", ca.getPrivate(), false);
        KeyStore roots = KeyStore.getInstance("MSCAPI-ROOT", P);
        roots.load(null, null);
        roots.setCertificateEntry("Provider Test Root", root);
        KeyStore my = KeyStore.getInstance("MSCAPI-MY", P);
        my.load(null, null);
        my.setKeyEntry("alice", alice.getPrivate(), null, new Certificate[] {aliceCert});
    }

    static KeyStore my() throws Exception {
        KeyStore ks = KeyStore.getInstance("MSCAPI-MY", P);
        ks.load(null, null);
        return ks;
    }

    @Test
    void keyEntryIsAHandleWithItsChain() throws Exception {
        KeyStore ks = my();
        assertTrue(ks.isKeyEntry("alice"));
        PrivateKey k = (PrivateKey) ks.getKey("ALICE", null); // aliases compare without case
        assertTrue(k instanceof RSAKey);
        assertFalse(k instanceof RSAPrivateCrtKey);
        assertNull(k.getEncoded());
        assertEquals(((RSAKey) alice.getPublic()).getModulus(), ((RSAKey) k).getModulus());
        Certificate[] chain = ks.getCertificateChain("alice");
        assertEquals(2, chain.length, "leaf and the root found in ROOT");
        assertEquals(root, chain[1]);
        // The stored binding names the key's container; the key stays in it.
        Records.Cert rec = Records.certs(MSCAPI.queryCerts(1)).stream()
                .filter(c -> c.friendlyName().equals("alice")).findFirst().orElseThrow();
        assertEquals(((MscapiPrivateKey) k).getContainerName(), rec.container());
    }

    @ParameterizedTest
    @CsvSource({"SHA1withRSA", "SHA256withRSA", "SHA384withRSA", "SHA512withRSA", "MD5withRSA"})
    void signaturesVerifyWithTheJdk(String alg) throws Exception {
        Signature s = Signature.getInstance(alg, P);
        s.initSign((PrivateKey) my().getKey("alice", "a password is ignored for a software key".toCharArray()));
        s.update(DATA);
        byte[] sig = s.sign();
        Signature v = Signature.getInstance(alg, "SunRsaSign");
        v.initVerify(aliceCert);
        v.update(DATA);
        assertTrue(v.verify(sig));
    }

    /** NONEwithRSA takes a DigestInfo (as SunRsaSign makes it) or the 36-byte value of TLS 1.0. */
    @ParameterizedTest
    @CsvSource({"SHA-256, 3031300d060960864801650304020105000420", "SHA-1, 3021300906052b0e03021a05000414",
        "MD5+SHA1, ''"})
    void noneWithRsaSignsWhatItIsGiven(String digest, String prefix) throws Exception {
        byte[] value;
        if (digest.equals("MD5+SHA1")) {
            value = new byte[36];
            System.arraycopy(MessageDigest.getInstance("MD5").digest(DATA), 0, value, 0, 16);
            System.arraycopy(MessageDigest.getInstance("SHA-1").digest(DATA), 0, value, 16, 20);
        } else {
            byte[] p = HexFormat.of().parseHex(prefix);
            byte[] h = MessageDigest.getInstance(digest).digest(DATA);
            value = new byte[p.length + h.length];
            System.arraycopy(p, 0, value, 0, p.length);
            System.arraycopy(h, 0, value, p.length, h.length);
        }
        Signature s = Signature.getInstance("NONEwithRSA", P);
        s.initSign((PrivateKey) my().getKey("alice", null));
        s.update(value);
        byte[] sig = s.sign();
        Signature v = Signature.getInstance("NONEwithRSA");
        v.initVerify(aliceCert);
        v.update(value);
        assertTrue(v.verify(sig));
        Signature bad = Signature.getInstance("NONEwithRSA", P);
        bad.initSign((PrivateKey) my().getKey("alice", null));
        bad.update(new byte[20]);
        assertThrows(SignatureException.class, bad::sign);
    }

    /** Delayed provider selection: the provider signs its own keys and leaves every other key alone. */
    @Test
    void otherKeysGoToOtherProviders() throws Exception {
        Security.add(P);
        try {
            Signature mine = Signature.getInstance("SHA256withRSA");
            mine.initSign((PrivateKey) my().getKey("alice", null));
            assertEquals("MSCAPI", mine.getProvider().getName());
            Signature jdk = Signature.getInstance("SHA256withRSA");
            jdk.initSign(alice.getPrivate());
            assertEquals("SunRsaSign", jdk.getProvider().getName());
            Signature verify = Signature.getInstance("SHA256withRSA");
            verify.initVerify(aliceCert);
            assertEquals("SunRsaSign", verify.getProvider().getName());
        } finally {
            Security.remove(P);
        }
    }

    /** Aliases: friendly name, else common name; a clash adds 8 digits of the SHA-1 thumbprint; stable. */
    @Test
    void aliasesAreStableAndUnique() throws Exception {
        KeyPair kp = Pki.rsa(1024);
        X509Certificate twinA = Pki.selfSigned("CN=Twin, O=A", kp, true);
        X509Certificate twinB = Pki.selfSigned("CN=Twin, O=B", kp, true);
        X509Certificate named = Pki.selfSigned("CN=Plain Name", kp, true);
        for (X509Certificate c : List.of(twinA, twinB, named)) {
            assertNotNull(MSCAPI.addCertToStore(c.getEncoded(), null, null, 0, null, 4));
        }
        KeyStore book = KeyStore.getInstance("MSCAPI-AddressBook", P);
        book.load(null, null);
        List<String> aliases = Collections.list(book.aliases());
        assertTrue(aliases.contains("Plain Name"), aliases.toString());
        for (X509Certificate twin : List.of(twinA, twinB)) {
            String expected = "Twin (" + HexFormat.of().formatHex(
                    MessageDigest.getInstance("SHA-1").digest(twin.getEncoded())).substring(0, 8) + ")";
            assertEquals(expected, book.getCertificateAlias(twin));
        }
        KeyStore again = KeyStore.getInstance("MSCAPI-AddressBook", P);
        again.load(null, null);
        assertEquals(aliases, Collections.list(again.aliases()), "the same aliases in the same order");

        // A friendly name set through setEntry is written to the store.
        book.setEntry("Twin from A", new KeyStore.TrustedCertificateEntry(twinA,
                Set.of(new PKCS12Attribute(MscapiKeyStore.FRIENDLY_NAME_OID, "Twin from A"))), null);
        assertTrue(Records.certs(MSCAPI.queryCerts(4)).stream().anyMatch(c -> c.friendlyName().equals("Twin from A")));
        again.load(null, null);
        assertEquals(twinA, again.getCertificate("Twin from A"));
        assertEquals("Twin", again.getCertificateAlias(twinB), "the clash is gone");

        // Certificate entries write through and delete.
        again.deleteEntry("Plain Name");
        assertFalse(Records.certs(MSCAPI.queryCerts(4)).stream()
                .anyMatch(c -> java.util.Arrays.equals(c.encoded(), uncheckedEncoded(named))));
    }

    private static byte[] uncheckedEncoded(X509Certificate c) {
        try {
            return c.getEncoded();
        } catch (Exception e) {
            throw new AssertionError(e);
        }
    }

    /** A soft token key: PIN from getKey, from a callback asked once, or from setParameter. */
    @Test
    void pinsTheWayJavaPassesThem() throws Exception {
        String token = "Soft Token RSA Provider";
        RSAPrivateCrtKey k = Keys.jdkKey(1024);
        KeyPair kp = new KeyPair(java.security.KeyFactory.getInstance("RSA").generatePublic(
                new java.security.spec.RSAPublicKeySpec(k.getModulus(), k.getPublicExponent())), k);
        X509Certificate cert = Pki.selfSigned("CN=Token Key", kp, false);
        Keys.importJdkKey(token, "provider-token", 2, k, 1024, "1234".getBytes());
        assertNotNull(MSCAPI.addCertToStore(cert.getEncoded(), token, "provider-token", 2, "token key", 1));

        List<String> outcomes = new ArrayList<>();
        // The key password.
        outcomes.add(signs(my().getKey("token key", "1234".toCharArray()), null, cert));
        // A wrong one: refused, with the library's message and its cause.
        SignatureException wrong = assertThrows(SignatureException.class,
                () -> signs(my().getKey("token key", "9999".toCharArray()), null, cert));
        assertTrue(wrong.getMessage().startsWith("SSLRuntimeException04"), wrong.getMessage());
        assertNotNull(wrong.getCause().getCause(), "the library's exception carries its cause");
        // A callback handler, asked once and only when the PIN is needed.
        AtomicInteger asked = new AtomicInteger();
        KeyStore.Builder builder = KeyStore.Builder.newInstance("MSCAPI-MY", P,
                new KeyStore.CallbackHandlerProtection(callbacks -> {
                    asked.incrementAndGet();
                    ((PasswordCallback) callbacks[0]).setPassword("1234".toCharArray());
                }));
        KeyStore viaBuilder = builder.getKeyStore();
        PrivateKey fromBuilder = (PrivateKey) viaBuilder.getKey("token key", null);
        outcomes.add(signs(fromBuilder, null, cert));
        outcomes.add(signs(fromBuilder, null, cert));
        assertEquals(1, asked.get());
        // A PIN given to the Signature object.
        outcomes.add(signs(my().getKey("token key", null), new MscapiPin("1234".toCharArray()), cert));
        assertEquals(List.of("verified", "verified", "verified", "verified"), outcomes);
        MSCAPI.deleteKeyPair(token, "provider-token");
    }

    private static String signs(java.security.Key key, MscapiPin pin, X509Certificate cert) throws Exception {
        Signature s = Signature.getInstance("SHA256withRSA", P);
        s.initSign((PrivateKey) key);
        if (pin != null) {
            s.setParameter(pin);
        }
        s.update(DATA);
        byte[] sig = s.sign();
        Signature v = Signature.getInstance("SHA256withRSA", "SunRsaSign");
        v.initVerify(cert);
        v.update(DATA);
        return v.verify(sig) ? "verified" : "bad signature";
    }

    @Test
    void keyPairGeneratorMakesAContainer() throws Exception {
        java.security.KeyPairGenerator g = java.security.KeyPairGenerator.getInstance("RSA", P);
        g.initialize(new MscapiKeyGenParameters(null, "made-by-jca", MscapiKeyGenParameters.AT_SIGNATURE, 1024));
        KeyPair kp = g.generateKeyPair();
        assertTrue(Records.keyPairs(MSCAPI.queryKeyPairs()).stream()
                .anyMatch(r -> r.container().equals("made-by-jca") && r.keySpec() == 2
                        && r.modulus().equals(((RSAKey) kp.getPublic()).getModulus())));
        Signature s = Signature.getInstance("SHA256withRSA", P);
        s.initSign(kp.getPrivate());
        s.update(DATA);
        Signature v = Signature.getInstance("SHA256withRSA", "SunRsaSign");
        v.initVerify(kp.getPublic());
        v.update(DATA);
        assertTrue(v.verify(s.sign()));
        MSCAPI.deleteKeyPair(null, "made-by-jca");
    }

    /** The library's exceptions keep their messages and carry the platform's cause; none is stale. */
    @Test
    void causesForJavaCallers() throws Exception {
        byte[] h = new byte[32];
        Exception missing = assertThrows(Exception.class,
                () -> MSCAPI.sign(null, "no such container", 1, h, 32, 0x800C));
        assertEquals("Failed to sign data!", missing.getMessage());
        assertNotNull(missing.getCause());
        assertTrue(missing.getCause().getMessage().startsWith("0x80090016 NTE_BAD_KEYSET"),
                missing.getCause().getMessage());
        Exception noData = assertThrows(Exception.class, () -> MSCAPI.sign(null, "x", 1, h, 0, 0x800C));
        assertEquals("No data provided !", noData.getMessage());
        assertNull(noData.getCause(), "a failure of no platform call carries no cause");
        Exception unknown = assertThrows(Exception.class,
                () -> MSCAPI.generateKeyPair("No Such Provider", "c", 1, 1024));
        assertEquals("Failed to generate key pair!", unknown.getMessage());
        assertTrue(unknown.getCause().getMessage().contains("No Such Provider"), unknown.getCause().getMessage());
    }

    /** Security.addProvider and removeProvider around one test. */
    static final class Security {
        static void add(Provider p) {
            java.security.Security.insertProviderAt(p, 1);
        }

        static void remove(Provider p) {
            java.security.Security.removeProvider(p.getName());
        }
    }
}
