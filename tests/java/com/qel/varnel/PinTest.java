package com.qel.varnel;

import static com.qel.varnel.Keys.*;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;

import java.security.KeyFactory;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.RSAPublicKeySpec;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** PINs of the token family through the library's password parameters. */
class PinTest {
    static final byte[] DATA = "pin test".getBytes();
    static final byte[] PIN = "4711".getBytes();
    static RSAPrivateCrtKey key;
    static RSAPublicKey pub;

    @BeforeAll
    static void makeKey() throws Exception {
        key = jdkKey(1024);
        pub = (RSAPublicKey) KeyFactory.getInstance("RSA")
                .generatePublic(new RSAPublicKeySpec(key.getModulus(), key.getPublicExponent()));
    }

    static byte[] sign(String container, int keySpec, byte[] pin) throws Exception {
        return MSCAPI.verifyAndSign(TOKEN, container, keySpec, hash(CALG_SHA1, DATA), 20, CALG_SHA1, pin);
    }

    @Test
    void protectedKeyNeedsItsPin() throws Exception {
        for (int keySpec : new int[] {AT_KEYEXCHANGE, AT_SIGNATURE}) {
            String name = "protected-" + keySpec;
            importJdkKey(TOKEN, name, keySpec, key, 1024, PIN);
            assertVerifies(pub, CALG_SHA1, DATA, sign(name, keySpec, PIN));
            assertArrayEquals(expectedPrivateKeyBytes(key, 1024), MSCAPI.getPrivateKey(TOKEN, name, keySpec, PIN));
            // Four wrong PINs (the empty text is no PIN and is not counted).
            for (byte[] wrong : new byte[][] {"4712".getBytes(), "47110".getBytes(), new byte[0]}) {
                assertFails(REFUSED, () -> sign(name, keySpec, wrong));
                assertFails(REFUSED, () -> MSCAPI.getPrivateKey(TOKEN, name, keySpec, wrong));
            }
            // Without the PIN the key neither signs nor leaves the token.
            assertFails(SIGN_FAILED, () -> MSCAPI.sign(TOKEN, name, keySpec, hash(CALG_SHA1, DATA), 1, CALG_SHA1));
            assertFails(EXPORT_FAILED, () -> MSCAPI.getPrivateKey(TOKEN, name, keySpec, null));
            // The right PIN still works after four refusals, and resets the count.
            assertVerifies(pub, CALG_SHA1, DATA, sign(name, keySpec, PIN));
            for (int i = 0; i < 4; i++) {
                assertFails(REFUSED, () -> sign(name, keySpec, "0000".getBytes()));
            }
            assertVerifies(pub, CALG_SHA1, DATA, sign(name, keySpec, PIN));
        }
    }

    @Test
    void fiveWrongPinsInARowBlockTheKey() throws Exception {
        importJdkKey(TOKEN, "blocked", AT_SIGNATURE, key, 1024, PIN);
        importJdkKey(TOKEN, "neighbour", AT_SIGNATURE, key, 1024, PIN);
        // The process has an unlock of the key cached: wrong PINs count all the same.
        assertVerifies(pub, CALG_SHA1, DATA, sign("blocked", AT_SIGNATURE, PIN));
        for (int i = 0; i < 5; i++) {
            byte[] wrong = ("wrong" + i).getBytes();
            assertFails(REFUSED, () -> sign("blocked", AT_SIGNATURE, wrong));
        }
        // Blocked: the right PIN is refused too, for signing and export alike.
        assertFails(REFUSED, () -> sign("blocked", AT_SIGNATURE, PIN));
        assertFails(REFUSED, () -> MSCAPI.getPrivateKey(TOKEN, "blocked", AT_SIGNATURE, PIN));
        assertFails(SIGN_FAILED, () -> MSCAPI.sign(TOKEN, "blocked", AT_SIGNATURE, hash(CALG_SHA1, DATA), 1, CALG_SHA1));
        // The count is per container.
        assertVerifies(pub, CALG_SHA1, DATA, sign("neighbour", AT_SIGNATURE, PIN));
        // A blocked key can still be deleted, and its name used again.
        MSCAPI.deleteKeyPair(TOKEN, "blocked");
        importJdkKey(TOKEN, "blocked", AT_SIGNATURE, key, 1024, PIN);
        assertVerifies(pub, CALG_SHA1, DATA, sign("blocked", AT_SIGNATURE, PIN));
    }

    @Test
    void pinOnAKeyWithoutOneIsRefused() throws Exception {
        MSCAPI.generateKeyPair(TOKEN, "no-pin", AT_SIGNATURE, 1024);
        assertFails(REFUSED, () -> sign("no-pin", AT_SIGNATURE, PIN));
        assertFails(REFUSED, () -> MSCAPI.getPrivateKey(TOKEN, "no-pin", AT_SIGNATURE, PIN));
        sign("no-pin", AT_SIGNATURE, null);
    }

    @Test
    void emptyPasswordIsNoPin() throws Exception {
        // The empty text is refused as a PIN: the import fails and leaves nothing behind.
        assertFails(REFUSED, () -> importJdkKey(TOKEN, "empty", AT_SIGNATURE, key, 1024, new byte[0]));
        assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(TOKEN, "empty"));
        // A password is read up to its first zero byte: "\0abc" is empty too.
        assertFails(REFUSED, () -> importJdkKey(TOKEN, "empty", AT_SIGNATURE, key, 1024, new byte[] {0, 'a'}));
        assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(TOKEN, "empty"));
    }

    @Test
    void pinBytesAfterAZeroAreIgnored() throws Exception {
        importJdkKey(TOKEN, "zero", AT_SIGNATURE, key, 1024, new byte[] {'1', '2', 0, '9'});
        assertVerifies(pub, CALG_SHA1, DATA, sign("zero", AT_SIGNATURE, "12".getBytes()));
    }

    @Test
    void eachKeySpecHasItsOwnPin() throws Exception {
        importJdkKey(TOKEN, "per-spec", AT_KEYEXCHANGE, key, 1024, PIN);
        // The signature slot is empty: presenting a PIN there is accepted, but
        // there is no key to sign with.
        assertFails(SIGN_FAILED, () -> sign("per-spec", AT_SIGNATURE, PIN));
        assertVerifies(pub, CALG_SHA1, DATA, sign("per-spec", AT_KEYEXCHANGE, PIN));
    }
}
