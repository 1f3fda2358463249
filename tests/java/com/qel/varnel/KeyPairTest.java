package com.qel.varnel;

import static com.qel.varnel.Keys.*;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.security.interfaces.RSAPublicKey;
import java.util.stream.Stream;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** generateKeyPair and deleteKeyPair, the PublicKeyBytes layout checked by the JDK. */
class KeyPairTest {
    static final byte[] DATA = "key pair test".getBytes();

    static byte[] signWith(String provider, String container, int keySpec) throws Exception {
        return MSCAPI.sign(provider, container, keySpec, hash(CALG_SHA_256, DATA), 1, CALG_SHA_256);
    }

    /** The default (null), every registered RSA provider, and a SoftHSM2 token's in a token run. */
    static Stream<Arguments> providers() {
        return Stream.concat(Stream.of(Arguments.of((Object) null)),
                Stream.of(Tokens.withToken(STRONG, BASE, ENHANCED, TOKEN)).map(p -> Arguments.of(p)));
    }

    @ParameterizedTest
    @MethodSource("providers")
    @Tag("token")
    void generatedPublicKeyIsTheSigningKey(String provider) throws Exception {
        for (int keySpec : new int[] {AT_KEYEXCHANGE, AT_SIGNATURE}) {
            String name = "gen-" + keySpec;
            byte[] pub = MSCAPI.generateKeyPair(provider, name, keySpec, 1024);
            assertEquals(132, pub.length);
            assertArrayEquals(new byte[] {1, 0, 1, 0}, java.util.Arrays.copyOf(pub, 4));
            assertTrue((pub[4] & 0x80) != 0, "modulus top bit");
            byte[] sig = signWith(provider, name, keySpec);
            assertEquals(128, sig.length);
            assertVerifies(publicKey(pub), CALG_SHA_256, DATA, sig);
            MSCAPI.deleteKeyPair(provider, name);
        }
    }

    @Test
    void algorithmIdentifiersAndKeySpecsMeetInOneSlot() throws Exception {
        // CALG_RSA_SIGN makes the signature key, CALG_RSA_KEYX the exchange key.
        byte[] sigKey = MSCAPI.generateKeyPair(STRONG, "calg-sign", 0x2400, 1024);
        assertVerifies(publicKey(sigKey), CALG_SHA_256, DATA, signWith(STRONG, "calg-sign", AT_SIGNATURE));
        assertFails(SIGN_FAILED, () -> signWith(STRONG, "calg-sign", AT_KEYEXCHANGE));
        byte[] kx = MSCAPI.generateKeyPair(STRONG, "calg-keyx", 0xA400, 1024);
        assertVerifies(publicKey(kx), CALG_SHA_256, DATA, signWith(STRONG, "calg-keyx", AT_KEYEXCHANGE));
    }

    @Test
    void keyBitsZeroTakesTheDefaultLength() throws Exception {
        byte[] pub = MSCAPI.generateKeyPair(STRONG, "default-length", AT_SIGNATURE, 0);
        assertArrayEquals(new byte[] {1, 0, 1, 0}, pub);
        assertEquals(256, signWith(STRONG, "default-length", AT_SIGNATURE).length, "2048-bit default");
    }

    @Test
    void existingContainerIsUntouchedByAFailedGenerate() throws Exception {
        RSAPublicKey first = publicKey(MSCAPI.generateKeyPair(STRONG, "Existing", AT_SIGNATURE, 1024));
        // The name compares case-insensitively and the software providers share one namespace.
        for (String provider : new String[] {STRONG, BASE, ENHANCED}) {
            assertFails(GEN_FAILED, () -> MSCAPI.generateKeyPair(provider, "EXISTING", AT_SIGNATURE, 1024));
        }
        assertVerifies(first, CALG_SHA_256, DATA, signWith(BASE, "existing", AT_SIGNATURE));
        // The token family has a namespace of its own.
        MSCAPI.generateKeyPair(TOKEN, "Existing", AT_SIGNATURE, 1024);
        MSCAPI.deleteKeyPair(ENHANCED, "existing");
        assertFails(SIGN_FAILED, () -> signWith(STRONG, "Existing", AT_SIGNATURE));
        signWith(TOKEN, "Existing", AT_SIGNATURE);
    }

    @Test
    void badLengthsFailBeforeAnyContainerExists() throws Exception {
        for (int bits : new int[] {-1, -1024, 65536, 1 << 20, Integer.MIN_VALUE}) {
            assertFails(GEN_FAILED, () -> MSCAPI.generateKeyPair(STRONG, "bad-length", AT_SIGNATURE, bits));
            assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(STRONG, "bad-length"));
        }
    }

    @Test
    void failedKeyGenerationLeavesTheContainerTaken() throws Exception {
        // Lengths and algorithms the provider refuses: the container was created first.
        int[][] refused = {{AT_SIGNATURE, 100}, {AT_SIGNATURE, 1025}, {AT_SIGNATURE, 16392}, {0x6610, 1024}, {3, 1024}};
        for (int[] r : refused) {
            assertFails(GEN_FAILED, () -> MSCAPI.generateKeyPair(STRONG, "taken", r[0], r[1]));
            assertFails(GEN_FAILED, () -> MSCAPI.generateKeyPair(STRONG, "taken", AT_SIGNATURE, 1024));
            assertFails(SIGN_FAILED, () -> signWith(STRONG, "taken", AT_SIGNATURE));
            MSCAPI.deleteKeyPair(STRONG, "taken");
        }
        MSCAPI.generateKeyPair(STRONG, "taken", AT_SIGNATURE, 1024);
    }

    @Test
    void deleteFailuresAndReuse() throws Exception {
        assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(STRONG, "never-made"));
        assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair("No Such Provider", "never-made"));
        MSCAPI.generateKeyPair(STRONG, "reuse", AT_SIGNATURE, 1024);
        MSCAPI.deleteKeyPair(STRONG, "reuse");
        assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(STRONG, "reuse"));
        RSAPublicKey second = publicKey(MSCAPI.generateKeyPair(STRONG, "reuse", AT_SIGNATURE, 1024));
        assertVerifies(second, CALG_SHA_256, DATA, signWith(STRONG, "reuse", AT_SIGNATURE));
    }

    @Test
    void nullNamesReachTheDefaultProviderAndContainer() throws Exception {
        RSAPublicKey k = publicKey(MSCAPI.generateKeyPair(null, null, AT_SIGNATURE, 1024));
        // The default PROV_RSA_FULL provider is the Strong one; the default
        // container is named after the login name.
        String login = System.getProperty("user.name");
        assertVerifies(k, CALG_SHA_256, DATA, signWith(STRONG, login, AT_SIGNATURE));
        assertFails(GEN_FAILED, () -> MSCAPI.generateKeyPair(STRONG, null, AT_SIGNATURE, 1024));
        MSCAPI.deleteKeyPair(null, null);
        assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(STRONG, login));
    }

    @Test
    void unknownProvidersFail() {
        for (String p : new String[] {"No Such Provider", "Microsoft Base DSS Cryptographic Provider", ""}) {
            assertFails(GEN_FAILED, () -> MSCAPI.generateKeyPair(p, "x", AT_SIGNATURE, 1024));
        }
    }
}
