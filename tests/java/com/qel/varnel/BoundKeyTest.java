package com.qel.varnel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.security.InvalidKeyException;
import java.security.KeyPair;
import java.security.KeyStore;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.Signature;
import java.security.SignatureException;
import java.security.UnrecoverableKeyException;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPrivateCrtKey;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * A key bound to a certificate in "MY" signs only as the certificate's key:
 * a container made again under the same name (another key) is refused when
 * the key is obtained, at initSign and after a signature (when the last
 * comparison is older than KeyAccess.COMPARED_FOR), and every signature the
 * provider returns verifies with the certificate (the JDK checks each one).
 */
class BoundKeyTest {
    static final Provider P = new MscapiProvider();
    static final byte[] DATA = "signed as the certificate's key".getBytes();
    static final int SPEC = 1;

    /** The container's key replaced by `kp`'s, as a user re-making the container would. */
    static void remake(String provider, String container, KeyPair kp) throws Exception {
        try {
            MSCAPI.deleteKeyPair(provider, container);
        } catch (Exception e) {
            // not there (yet)
        }
        RSAPrivateCrtKey k = (RSAPrivateCrtKey) kp.getPrivate();
        int bits = k.getModulus().bitLength();
        int n = bits / 8;
        int h = n / 2;
        MSCAPI.importKeyPair(provider, container, SPEC, MscapiKeyStore.fixed(k.getModulus(), n), bits,
                k.getPublicExponent().intValueExact(), MscapiKeyStore.fixed(k.getPrivateExponent(), n),
                MscapiKeyStore.fixed(k.getPrimeP(), h), MscapiKeyStore.fixed(k.getPrimeQ(), h),
                MscapiKeyStore.fixed(k.getPrimeExponentP(), h), MscapiKeyStore.fixed(k.getPrimeExponentQ(), h),
                MscapiKeyStore.fixed(k.getCrtCoefficient(), h));
    }

    /** A certificate bound to `container` of `provider`, holding `kp`'s key; its alias is the container's name. */
    static X509Certificate bind(String provider, String container, KeyPair kp) throws Exception {
        remake(provider, container, kp);
        X509Certificate cert = Pki.selfSigned("CN=" + container, kp, false);
        MSCAPI.addCertToStore(cert.getEncoded(), provider, container, SPEC, container, MscapiKeyStore.STORE_MY);
        return cert;
    }

    static KeyStore my() throws Exception {
        KeyStore ks = KeyStore.getInstance("MSCAPI-MY", P);
        ks.load(null, null);
        return ks;
    }

    /** The provider's signature over DATA, or the exception it ended with. */
    static byte[] sign(Signature s) throws Exception {
        s.update(DATA);
        return s.sign();
    }

    static boolean verifies(X509Certificate cert, byte[] sig) throws Exception {
        Signature v = Signature.getInstance("SHA256withRSA", "SunRsaSign");
        v.initVerify(cert);
        v.update(DATA);
        return v.verify(sig);
    }

    /** Each step refuses a container made again; the certificate's key put back signs again. */
    @ParameterizedTest
    @ValueSource(strings = {"Microsoft Strong Cryptographic Provider", "Soft Token RSA Provider"})
    void aContainerMadeAgainIsRefusedAtEveryStep(String provider) throws Exception {
        String container = "bound-" + provider.split(" ")[0].toLowerCase();
        KeyPair own = Pki.rsa(1024);
        KeyPair other = Pki.rsa(1024);
        X509Certificate cert = bind(provider, container, own);
        PrivateKey key = (PrivateKey) my().getKey(container, null);
        Signature reused = Signature.getInstance("SHA256withRSA", P);
        reused.initSign(key);
        assertTrue(verifies(cert, sign(reused)));

        remake(provider, container, other);
        // The Signature initialised before, used once the last comparison
        // is COMPARED_FOR old (aged here, not waited for): its signature,
        // made by the other key, is compared after it and not returned.
        ((MscapiPrivateKey) key).compared(System.nanoTime() - KeyAccess.COMPARED_FOR);
        SignatureException afterSign = assertThrows(SignatureException.class, () -> sign(reused));
        assertTrue(afterSign.getMessage().contains("\"" + container + "\""), afterSign.getMessage());
        assertTrue(afterSign.getMessage().contains("NTE_BAD_PUBLIC_KEY"), afterSign.getMessage());
        // initSign again with the key obtained before; a refused initSign
        // leaves the Signature no key to sign with.
        InvalidKeyException atInit = assertThrows(InvalidKeyException.class, () -> reused.initSign(key));
        assertTrue(atInit.getMessage().contains("\"" + container + "\""), atInit.getMessage());
        SignatureException noKey = assertThrows(SignatureException.class, () -> sign(reused));
        assertTrue(noKey.getMessage().contains("not initialised"), noKey.getMessage());
        // The key entry's key obtained again.
        UnrecoverableKeyException atGet = assertThrows(UnrecoverableKeyException.class,
                () -> my().getKey(container, null));
        assertTrue(atGet.getMessage().contains("\"" + container + "\""), atGet.getMessage());

        // The comparison is of keys: the certificate's key put back signs.
        remake(provider, container, own);
        Signature fresh = Signature.getInstance("SHA256withRSA", P);
        fresh.initSign((PrivateKey) my().getKey(container, null));
        assertTrue(verifies(cert, sign(fresh)));
        reused.initSign(key);
        assertTrue(verifies(cert, sign(reused)));
    }

    /**
     * The container made again under the certificate, in a loop, with the
     * certificate's key or another one (a random sequence), each time by
     * another thread, between signatures made with a fresh initSign of the
     * key obtained once: every signature made while the other key is there
     * is refused, every one made while the certificate's is there verifies.
     */
    @ParameterizedTest
    @ValueSource(strings = {"Microsoft Strong Cryptographic Provider", "Soft Token RSA Provider"})
    void aLoopOfContainersMadeAgainReturnsNoSignatureByTheOtherKey(String provider) throws Exception {
        String container = "loop-" + provider.split(" ")[0].toLowerCase();
        KeyPair own = Pki.rsa(1024);
        KeyPair[] others = {Pki.rsa(1024), Pki.rsa(1024)};
        X509Certificate cert = bind(provider, container, own);
        PrivateKey key = (PrivateKey) my().getKey(container, null);
        java.util.Random random = new java.util.Random(42);
        int good = 0;
        int refused = 0;
        int byOtherKey = 0;
        int turns = 60;
        for (int i = 0; i < turns; i++) {
            KeyPair now = random.nextInt(3) == 0 ? own : others[random.nextInt(2)];
            Thread remaker = new Thread(() -> {
                try {
                    remake(provider, container, now);
                } catch (Exception e) {
                    throw new IllegalStateException(e);
                }
            });
            remaker.start();
            remaker.join();
            try {
                Signature s = Signature.getInstance("SHA256withRSA", P);
                s.initSign(key);
                if (verifies(cert, sign(s))) {
                    good++;
                } else {
                    byOtherKey++;
                }
                assertTrue(now == own, "signed while another key is in the container");
            } catch (InvalidKeyException e) {
                refused++;
                assertTrue(now != own, "refused while the certificate's key is there: " + e);
            }
        }
        assertEquals(0, byOtherKey, "signatures by the other key returned");
        assertEquals(turns, good + refused);
        assertTrue(good > 0 && refused > 0, good + " good, " + refused + " refused");
        System.out.printf("%s: %d turns, %d signatures verified, %d refused at initSign, 0 by another key%n",
                provider, turns, good, refused);
    }
}
