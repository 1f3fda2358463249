package com.qel.varnel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyFactory;
import java.security.KeyPair;
import java.security.KeyStore;
import java.security.PrivateKey;
import java.security.PublicKey;
import java.security.Signature;
import java.security.cert.X509Certificate;
import java.security.spec.X509EncodedKeySpec;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;
import javax.security.auth.callback.PasswordCallback;
import org.junit.jupiter.api.Test;

/**
 * A card's key through the provider's key store, as an application has it:
 * a key pair made on the token by pkcs11-tool with its certificate beside it
 * (the same CKA_ID), which the library puts into "MY", found by its
 * certificate in "MSCAPI-MY" and signing with a PIN that only the
 * application's callback gives (the provider's PIN prompt answers nothing).
 * Runs in a JVM of its own, with no login to the token yet.
 */
class TokenProviderTest {
    static final byte[] DATA = "signed by a card through the key store".getBytes();

    @Test
    void cardKeySignsThroughTheKeyStoreWithThePinFromACallback() throws Exception {
        assumeTrue(Tokens.present(), "runs in a token home");
        Tokens.pkcs11Tool("--login", "--pin", "123456", "--keypairgen", "--key-type", "rsa:2048", "--id", "45",
                "--label", "Card Key");
        Path der = TestHome.home().resolve("card-pub.der");
        Tokens.pkcs11Tool("--read-object", "--type", "pubkey", "--id", "45", "--output-file", der.toString());
        PublicKey pub = KeyFactory.getInstance("RSA").generatePublic(new X509EncodedKeySpec(Files.readAllBytes(der)));
        KeyPair issuer = Pki.rsa(2048);
        X509Certificate cert = Pki.cert("CN=Card Holder", pub, "CN=Card Issuer", issuer.getPrivate(), false);
        Path certFile = TestHome.home().resolve("card-cert.der");
        Files.write(certFile, cert.getEncoded());
        Tokens.pkcs11Tool("--login", "--pin", "123456", "--write-object", certFile.toString(), "--type", "cert",
                "--id", "45", "--label", "Card Key");
        // The provider's PIN prompt gives no PIN from now on.
        Path prompt = Tokens.dir().resolve("pin-prompt");
        Files.writeString(prompt, "#!/bin/sh\nexit 1\n");
        int promptsBefore = Tokens.prompts().size();

        AtomicInteger asked = new AtomicInteger();
        KeyStore ks = KeyStore.Builder.newInstance("MSCAPI-MY", new MscapiProvider(),
                new KeyStore.CallbackHandlerProtection(callbacks -> {
                    asked.incrementAndGet();
                    ((PasswordCallback) callbacks[0]).setPassword("123456".toCharArray());
                })).getKeyStore();
        String alias = ks.getCertificateAlias(cert);
        assertNotNull(alias, "the card's certificate is in MSCAPI-MY");
        assertEquals("Card Holder", alias);
        assertTrue(ks.isKeyEntry(alias), "the card's certificate comes with its key");
        PrivateKey key = (PrivateKey) ks.getKey(alias, null);
        for (int i = 0; i < 2; i++) {
            Signature s = Signature.getInstance("SHA256withRSA", ks.getProvider());
            s.initSign(key);
            s.update(DATA);
            byte[] sig = s.sign();
            Signature v = Signature.getInstance("SHA256withRSA", "SunRsaSign");
            v.initVerify(cert);
            v.update(DATA);
            assertTrue(v.verify(sig), "the card's signature verifies with its certificate");
        }
        assertEquals(1, asked.get(), "the callback is asked once, for the first signature");
        assertEquals(List.of(), Tokens.prompts().subList(promptsBefore, Tokens.prompts().size()));
    }
}
