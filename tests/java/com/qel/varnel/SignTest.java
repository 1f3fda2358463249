package com.qel.varnel;

import static com.qel.varnel.Keys.*;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.security.interfaces.RSAPublicKey;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * sign and verifyAndSign, every signature verified by the JDK. The tests
 * tagged "token" run once more on a SoftHSM2 token's provider (MSCAPI_TEST_TOKENS).
 */
class SignTest {
    static final byte[] DATA = "the data Java hashed".getBytes();
    // The provider that holds the two keys, and another name that reaches them.
    static final String SIGNER = Tokens.providerOr(STRONG);
    static final String ALIAS = Tokens.providerOr(BASE);
    // "kx" holds only a key exchange key (generated), "sig" only a signature key (imported).
    static RSAPublicKey exchange;
    static RSAPublicKey signature;

    @BeforeAll
    static void keys() throws Exception {
        exchange = publicKey(MSCAPI.generateKeyPair(SIGNER, "kx", AT_KEYEXCHANGE, 1024));
        java.security.interfaces.RSAPrivateCrtKey k = jdkKey(1024);
        importJdkKey(SIGNER, "sig", AT_SIGNATURE, k, 1024, null);
        signature = (RSAPublicKey) java.security.KeyFactory.getInstance("RSA").generatePublic(
                new java.security.spec.RSAPublicKeySpec(k.getModulus(), k.getPublicExponent()));
    }

    @ParameterizedTest
    @Tag("token")
    @CsvSource({"1, 0x8003", "1, 0x8004", "1, 0x8008", "1, 0x800C", "1, 0x800D", "1, 0x800E",
        "2, 0x8003", "2, 0x8004", "2, 0x8008", "2, 0x800C", "2, 0x800D", "2, 0x800E"})
    void everyAlgorithmVerifies(int keySpec, String alg) throws Exception {
        int algId = Integer.decode(alg);
        String container = keySpec == AT_KEYEXCHANGE ? "kx" : "sig";
        RSAPublicKey key = keySpec == AT_KEYEXCHANGE ? exchange : signature;
        byte[] h = hash(algId, DATA);
        byte[] sig = MSCAPI.sign(SIGNER, container, keySpec, h, h.length, algId);
        assertEquals(128, sig.length);
        assertVerifies(key, algId, DATA, sig);
        // A null password is no password: verifyAndSign behaves as sign
        // (PKCS#1 v1.5 is deterministic, so the signatures are equal). The
        // software family's names compare case-insensitively; a token's
        // labels are exact.
        String other = Tokens.present() ? container : container.toUpperCase();
        byte[] again = MSCAPI.verifyAndSign(ALIAS, other, keySpec, h, 1, algId, null);
        assertEquals(Arrays.toString(sig), Arrays.toString(again));
    }

    @Test
    @Tag("token")
    void dataLengthBoundsNothingButMustBePositive() throws Exception {
        byte[] h = hash(CALG_SHA1, DATA);
        // dataLength 1 still signs the whole 20-byte hash.
        assertVerifies(exchange, CALG_SHA1, DATA, MSCAPI.sign(SIGNER, "kx", 1, h, 1, CALG_SHA1));
        // A longer array: the hash size is what is signed, from the start.
        byte[] longer = Arrays.copyOf(h, 40);
        assertVerifies(exchange, CALG_SHA1, DATA, MSCAPI.sign(SIGNER, "kx", 1, longer, 999, CALG_SHA1));
        for (int len : new int[] {0, -1, Integer.MIN_VALUE}) {
            // Checked before anything is touched: no container, no hash needed.
            assertFails(NO_DATA, () -> MSCAPI.sign("No Such Provider", "none", 1, null, len, CALG_SHA1));
            assertFails(NO_DATA, () -> MSCAPI.verifyAndSign(SIGNER, "kx", 1, h, len, CALG_SHA1, new byte[] {1}));
        }
    }

    @Test
    @Tag("token")
    void failuresCarryOneMessage() throws Exception {
        byte[] sha1 = hash(CALG_SHA1, DATA);
        List<Runnable> cases = List.of(
                () -> MSCAPI.sign(SIGNER, "kx", 1, null, 1, CALG_SHA1),                  // no hash value
                () -> MSCAPI.sign(SIGNER, "kx", 1, Arrays.copyOf(sha1, 19), 1, CALG_SHA1), // short hash
                () -> MSCAPI.sign(SIGNER, "kx", 1, new byte[0], 1, CALG_MD5),
                () -> MSCAPI.sign(SIGNER, "kx", 1, new byte[63], 1, CALG_SHA_512),
                () -> MSCAPI.sign(SIGNER, "kx", 1, sha1, 1, 0x8001),                       // MD2: not offered
                () -> MSCAPI.sign(SIGNER, "kx", 1, sha1, 1, 0x6610),                       // not a hash
                () -> MSCAPI.sign(SIGNER, "kx", 2, sha1, 1, CALG_SHA1),                    // only an exchange key there
                () -> MSCAPI.sign(SIGNER, "kx", 3, sha1, 1, CALG_SHA1),                    // no such key spec
                () -> MSCAPI.sign(SIGNER, "missing", 1, sha1, 1, CALG_SHA1),
                () -> MSCAPI.sign(TOKEN, "kx", 1, sha1, 1, CALG_SHA1),                     // other namespace
                () -> MSCAPI.sign("No Such Provider", "kx", 1, sha1, 1, CALG_SHA1));
        for (Runnable r : cases) {
            assertFails(SIGN_FAILED, r::run);
        }
    }

    @Test
    void softwareProvidersRefuseEveryPassword() {
        byte[] h = new byte[20];
        for (byte[] pwd : new byte[][] {new byte[0], "1234".getBytes(), {0}}) {
            for (int keySpec : new int[] {1, 2}) {
                assertFails(REFUSED, () -> MSCAPI.verifyAndSign(STRONG, "kx", keySpec, h, 1, CALG_SHA1, pwd));
            }
        }
    }

    @Test
    @Tag("token")
    void eightThreadsSignWithOneContainerAtOnce() throws Exception {
        ExecutorService pool = Executors.newFixedThreadPool(8);
        try {
            List<Future<Void>> results = new ArrayList<>();
            for (int t = 0; t < 8; t++) {
                int thread = t;
                Callable<Void> job = () -> {
                    for (int i = 0; i < 25; i++) {
                        byte[] data = ("thread " + thread + " item " + i).getBytes();
                        byte[] sig = MSCAPI.sign(SIGNER, "kx", 1, hash(CALG_SHA_256, data), 1, CALG_SHA_256);
                        assertVerifies(exchange, CALG_SHA_256, data, sig);
                    }
                    return null;
                };
                results.add(pool.submit(job));
            }
            for (Future<Void> f : results) {
                f.get();
            }
        } finally {
            pool.shutdownNow();
        }
    }
}
