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
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * A key bound to a certificate in "MY" signs only as the certificate's key:
 * a container made again under the same name (another key) is refused when
 * the key is obtained, at initSign and after a signature (the first after
 * initSign, a later one when the last comparison is older than
 * KeyAccess.COMPARED_FOR), and every signature the provider returns
 * verifies with the certificate (the JDK checks each one).
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
        MSCAPI.importKeyPair(provider, container, SPEC, MscapiLibrary.fixed(k.getModulus(), n), bits,
                k.getPublicExponent().intValueExact(), MscapiLibrary.fixed(k.getPrivateExponent(), n),
                MscapiLibrary.fixed(k.getPrimeP(), h), MscapiLibrary.fixed(k.getPrimeQ(), h),
                MscapiLibrary.fixed(k.getPrimeExponentP(), h), MscapiLibrary.fixed(k.getPrimeExponentQ(), h),
                MscapiLibrary.fixed(k.getCrtCoefficient(), h));
    }

    /** A certificate bound to `container` of `provider`, holding `kp`'s key; its alias is the container's name. */
    static X509Certificate bind(String provider, String container, KeyPair kp) throws Exception {
        remake(provider, container, kp);
        X509Certificate cert = Pki.selfSigned("CN=" + container, kp, false);
        MSCAPI.addCertToStore(cert.getEncoded(), provider, container, SPEC, container, StoreKind.MY.code);
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
        Signature initialised = Signature.getInstance("SHA256withRSA", P);
        initialised.initSign(key);

        remake(provider, container, other);
        // initSign before, the first signature after: made by the other key,
        // compared after it and not returned.
        SignatureException first = assertThrows(SignatureException.class, () -> sign(initialised));
        assertTrue(first.getMessage().contains("\"" + container + "\""), first.getMessage());
        assertTrue(first.getMessage().contains("NTE_BAD_PUBLIC_KEY"), first.getMessage());
        // A Signature that signs again, once the last comparison is
        // COMPARED_FOR old (aged here, not waited for): the same.
        ((MscapiPrivateKey) key).compared(System.nanoTime() - KeyAccess.COMPARED_FOR);
        SignatureException again = assertThrows(SignatureException.class, () -> sign(reused));
        assertTrue(again.getMessage().contains("\"" + container + "\""), again.getMessage());
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
     * Another thread makes the container again under the certificate, in a
     * loop, with the certificate's key or another one (a random sequence), at
     * random moments while this one signs with a fresh initSign each time:
     * no signature by the other key is returned. (The thread makes the
     * container again only once a signature begun before its last turn has
     * ended, so no signature is made with the other key and then compared
     * after the certificate's key is back: what the comparison cannot see.)
     */
    @ParameterizedTest
    @ValueSource(strings = {"Microsoft Strong Cryptographic Provider", "Soft Token RSA Provider"})
    void signaturesWhileTheContainerIsMadeAgainAreAllTheCertificates(String provider) throws Exception {
        String container = "raced-" + provider.split(" ")[0].toLowerCase();
        KeyPair own = Pki.rsa(1024);
        KeyPair[] others = {Pki.rsa(1024), Pki.rsa(1024)};
        X509Certificate cert = bind(provider, container, own);
        PrivateKey key = (PrivateKey) my().getKey(container, null);
        AtomicInteger ended = new AtomicInteger();
        AtomicBoolean done = new AtomicBoolean();
        AtomicReference<Exception> failed = new AtomicReference<>();
        int turns = 60;
        Thread remaker = new Thread(() -> {
            java.util.Random random = new java.util.Random(42);
            try {
                for (int i = 0; i < turns; i++) {
                    Thread.sleep(random.nextInt(4));
                    int before = ended.get();
                    remake(provider, container, i % 2 == 1 ? own : others[random.nextInt(2)]);
                    while (ended.get() < before + 2) {
                        Thread.onSpinWait();
                    }
                }
            } catch (Exception e) {
                failed.set(e);
            } finally {
                done.set(true);
            }
        });
        remaker.start();
        int good = 0;
        int refused = 0;
        int byOtherKey = 0;
        while (!done.get()) {
            try {
                Signature s = Signature.getInstance("SHA256withRSA", P);
                s.initSign(key);
                if (verifies(cert, sign(s))) {
                    good++;
                } else {
                    byOtherKey++;
                }
            } catch (InvalidKeyException | SignatureException e) {
                refused++;
            } finally {
                ended.incrementAndGet();
            }
        }
        remaker.join();
        if (failed.get() != null) {
            throw failed.get();
        }
        assertEquals(0, byOtherKey, "signatures by the other key returned (" + good + " verified, " + refused
                + " refused)");
        assertTrue(good > 0 && refused > 0, good + " verified, " + refused + " refused: both kinds of turn were met");
        System.out.printf("%s: %d turns, %d signatures verified, %d refused, 0 by another key%n", provider, turns,
                good, refused);
    }
}
