package com.qel.varnel;

import static com.qel.varnel.Keys.*;
import static com.qel.varnel.Tokens.PIN;
import static com.qel.varnel.Tokens.PROVIDER;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.math.BigInteger;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyFactory;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.RSAPublicKeySpec;
import java.security.spec.X509EncodedKeySpec;
import java.util.List;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.MethodOrderer;
import org.junit.jupiter.api.Order;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestMethodOrder;

/**
 * Keys on a SoftHSM2 token through a registered PKCS#11 provider (run once
 * for each MSCAPI_TEST_TOKENS mode: the module itself and p11-kit's proxy),
 * cross-checked with the JDK and with OpenSC's pkcs11-tool on the same
 * token. The first test logs
 * the process in through the provider's PIN prompt; PKCS#11 keeps that login
 * for the rest of the process.
 */
@Tag("token")
@TestMethodOrder(MethodOrderer.OrderAnnotation.class)
class TokenKeysTest {
    static final byte[] DATA = "signed on a token".getBytes();
    static final int[] ALGORITHMS = {CALG_MD5, CALG_SHA1, CALG_SSL3_SHAMD5, CALG_SHA_256, CALG_SHA_384, CALG_SHA_512};

    @BeforeAll
    static void aTokenIsThere() {
        assertTrue(Tokens.present(), "run with MSCAPI_TEST_TOKENS set (tests/tokens/token-home.sh)");
    }

    static byte[] sign(String container, int keySpec, int algId) throws Exception {
        byte[] h = hash(algId, DATA);
        return MSCAPI.sign(PROVIDER, container, keySpec, h, h.length, algId);
    }

    /** The test provider's "Image Path", as the harness registered it. */
    static String imagePath() throws Exception {
        for (String line : Files.readAllLines(TestHome.home().resolve("registry").resolve("50-tokens.reg"))) {
            if (line.startsWith("\"Image Path\"=")) {
                return line.substring(line.indexOf('=') + 2, line.length() - 1);
            }
        }
        throw new AssertionError("no Image Path in the harness's registration");
    }

    static List<Layouts.KeyPair> onToken() {
        return Layouts.keyPairs(MSCAPI.queryKeyPairs()).stream().filter(r -> r.provider().equals(PROVIDER))
                .toList();
    }

    @Test
    @Order(1)
    void firstLoginGoesThroughThePinPrompt() throws Exception {
        assertEquals(List.of(), Tokens.prompts());
        // The same module registered without a PIN prompt: nothing logs in, the call fails.
        Path noPrompt = TestHome.home().resolve("registry").resolve("60-no-prompt.reg");
        Files.writeString(noPrompt, "Windows Registry Editor Version 5.00\n\n"
                + TestHome.provider("SoftHSM No Prompt", 1, imagePath()));
        assertEquals(8, MSCAPI.generateRandom("SoftHSM No Prompt", 8).length, "the provider loads");
        assertFails(GEN_FAILED, () -> MSCAPI.generateKeyPair("SoftHSM No Prompt", "no-prompt", AT_SIGNATURE, 1024));
        assertEquals(List.of(), Tokens.prompts());
        Files.delete(noPrompt);
        // A wrong answer: the token refuses it and nothing is generated.
        Tokens.promptAnswers("000000");
        assertFails(GEN_FAILED, () -> MSCAPI.generateKeyPair(PROVIDER, "first", AT_SIGNATURE, 1024));
        int asked = Tokens.prompts().size();
        assertTrue(asked >= 1, "the PIN prompt was not run");
        try {
            MSCAPI.deleteKeyPair(PROVIDER, "first"); // the container the failed call may have made
        } catch (Exception none) {
            // it made none
        }
        Tokens.promptAnswers("123456");
        RSAPublicKey pub = publicKey(MSCAPI.generateKeyPair(PROVIDER, "first", AT_SIGNATURE, 1024));
        assertTrue(Tokens.prompts().size() > asked, "the PIN prompt was not run again");
        assertVerifies(pub, CALG_SHA_256, DATA, sign("first", AT_SIGNATURE, CALG_SHA_256));
        // Logged in now: later calls ask nobody.
        asked = Tokens.prompts().size();
        MSCAPI.generateKeyPair(PROVIDER, "second", AT_KEYEXCHANGE, 1024);
        assertEquals(asked, Tokens.prompts().size());
        MSCAPI.deleteKeyPair(PROVIDER, "first");
        MSCAPI.deleteKeyPair(PROVIDER, "second");
        try {
            MSCAPI.deleteKeyPair(PROVIDER, "no-prompt"); // the empty container the failed call may have left
        } catch (Exception none) {
            // it left none
        }
        assertEquals(List.of(), onToken());
    }

    @Test
    @Order(2)
    void generatedKeysSignEveryAlgorithmAndNeverLeaveTheToken() throws Exception {
        for (int keySpec : new int[] {AT_KEYEXCHANGE, AT_SIGNATURE}) {
            String name = "generated-" + keySpec;
            byte[] pubBytes = MSCAPI.generateKeyPair(PROVIDER, name, keySpec, 1024);
            assertEquals(132, pubBytes.length);
            assertArrayEquals(new byte[] {1, 0, 1, 0}, java.util.Arrays.copyOf(pubBytes, 4));
            RSAPublicKey pub = publicKey(pubBytes);
            for (int algId : ALGORITHMS) {
                byte[] sig = sign(name, keySpec, algId);
                assertEquals(128, sig.length);
                assertVerifies(pub, algId, DATA, sig);
            }
            assertFails(EXPORT_FAILED, () -> MSCAPI.getPrivateKey(PROVIDER, name, keySpec, null));
            assertFails(SIGN_FAILED, () -> sign(name, 3 - keySpec, CALG_SHA1));
            assertFails(GEN_FAILED, () -> MSCAPI.generateKeyPair(PROVIDER, name, keySpec, 1024));
            MSCAPI.deleteKeyPair(PROVIDER, name);
            assertFails(SIGN_FAILED, () -> sign(name, keySpec, CALG_SHA1));
            assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(PROVIDER, name));
        }
    }

    @Test
    @Order(3)
    void listedNamesRoundTripIntoSign() throws Exception {
        byte[] pubBytes = MSCAPI.generateKeyPair(PROVIDER, "listed", AT_SIGNATURE, 1024);
        List<Layouts.KeyPair> recs = onToken();
        assertEquals(List.of(PROVIDER + "/" + Tokens.fullName("listed") + "/2"), Layouts.ids(recs));
        assertArrayEquals(java.util.Arrays.copyOfRange(pubBytes, 4, 132), recs.get(0).modulus());
        assertEquals(65537, recs.get(0).exponent());
        // The full name and the plain name reach the same key.
        byte[] viaFull = sign(recs.get(0).container(), AT_SIGNATURE, CALG_SHA_256);
        assertArrayEquals(sign("listed", AT_SIGNATURE, CALG_SHA_256), viaFull);
        assertVerifies(publicKey(pubBytes), CALG_SHA_256, DATA, viaFull);
        MSCAPI.deleteKeyPair(PROVIDER, Tokens.fullName("listed"));
        assertEquals(List.of(), onToken());
        // A token that does not exist holds no container.
        assertFails(SIGN_FAILED, () -> sign("\\\\.\\No Such Token\\listed", AT_SIGNATURE, CALG_SHA1));
    }

    @Test
    @Order(4)
    void pinParametersGoToTheToken() throws Exception {
        RSAPublicKey pub = publicKey(MSCAPI.generateKeyPair(PROVIDER, "pinned", AT_SIGNATURE, 1024));
        byte[] h = hash(CALG_SHA_256, DATA);
        assertVerifies(pub, CALG_SHA_256, DATA,
                MSCAPI.verifyAndSign(PROVIDER, "pinned", AT_SIGNATURE, h, 1, CALG_SHA_256, PIN));
        // Each refusal is counted against the token, also those judged by the
        // process that is logged in: four, below the limit of five.
        for (byte[] wrong : new byte[][] {"654321".getBytes(), "12345".getBytes()}) {
            assertFails(REFUSED, () -> MSCAPI.verifyAndSign(PROVIDER, "pinned", AT_SIGNATURE, h, 1, CALG_SHA_256,
                    wrong));
            assertFails(REFUSED, () -> MSCAPI.getPrivateKey(PROVIDER, "pinned", AT_SIGNATURE, wrong));
        }
        // The right PIN still opens the key after refusals below the limit.
        assertVerifies(pub, CALG_SHA_256, DATA,
                MSCAPI.verifyAndSign(PROVIDER, "pinned", AT_SIGNATURE, h, 1, CALG_SHA_256, PIN));
        assertFails(EXPORT_FAILED, () -> MSCAPI.getPrivateKey(PROVIDER, "pinned", AT_SIGNATURE, PIN));
        MSCAPI.deleteKeyPair(PROVIDER, "pinned");
    }

    @Test
    @Order(5)
    void importedKeySignsAndExportsAsItself() throws Exception {
        RSAPrivateCrtKey k = jdkKey(1024);
        RSAPublicKey pub = (RSAPublicKey) KeyFactory.getInstance("RSA")
                .generatePublic(new RSAPublicKeySpec(k.getModulus(), k.getPublicExponent()));
        importJdkKey(PROVIDER, "imported", AT_KEYEXCHANGE, k, 1024, null);
        for (int algId : ALGORITHMS) {
            assertVerifies(pub, algId, DATA, sign("imported", AT_KEYEXCHANGE, algId));
        }
        assertEquals(List.of(PROVIDER + "/" + Tokens.fullName("imported") + "/1"), Layouts.ids(onToken()));
        // An imported key is stored extractable where the token allows it, as SoftHSM2 does.
        assertArrayEquals(expectedPrivateKeyBytes(k, 1024),
                MSCAPI.getPrivateKey(PROVIDER, "imported", AT_KEYEXCHANGE, null));
        assertFails(IMPORT_FAILED, () -> importJdkKey(PROVIDER, "imported", AT_KEYEXCHANGE, k, 1024, null));
        MSCAPI.deleteKeyPair(PROVIDER, "imported");
    }

    @Test
    @Order(6)
    void keyMadeByPkcs11ToolIsListedAndSigns() throws Exception {
        Tokens.pkcs11Tool("--login", "--pin", "123456", "--keypairgen", "--key-type", "rsa:2048", "--label",
                "opensc-made", "--id", "01");
        Path der = Files.createTempFile(TestHome.home(), "pub", ".der");
        Tokens.pkcs11Tool("--read-object", "--type", "pubkey", "--label", "opensc-made", "--output-file",
                der.toString());
        RSAPublicKey pub = (RSAPublicKey) KeyFactory.getInstance("RSA")
                .generatePublic(new X509EncodedKeySpec(Files.readAllBytes(der)));
        List<Layouts.KeyPair> recs = onToken();
        assertEquals(1, recs.size(), () -> "listed: " + Layouts.ids(recs));
        Layouts.KeyPair rec = recs.get(0);
        assertEquals(Tokens.fullName("opensc-made"), rec.container());
        assertEquals(pub.getModulus(), new BigInteger(1, rec.modulus()));
        assertEquals(256, rec.modulus().length);
        for (int algId : new int[] {CALG_SHA1, CALG_SHA_256, CALG_SSL3_SHAMD5}) {
            byte[] h = hash(algId, DATA);
            byte[] sig = MSCAPI.sign(PROVIDER, rec.container(), rec.keySpec(), h, h.length, algId);
            assertVerifies(pub, algId, DATA, sig);
        }
        MSCAPI.deleteKeyPair(PROVIDER, rec.container());
        assertEquals(List.of(), onToken());
    }

    @Test
    @Order(7)
    void keyMadeByTheLibrarySignsWithPkcs11Tool() throws Exception {
        RSAPublicKey pub = publicKey(MSCAPI.generateKeyPair(PROVIDER, "library-made", AT_SIGNATURE, 2048));
        Path data = TestHome.home().resolve("data.bin");
        Path sig = TestHome.home().resolve("sig.bin");
        Files.write(data, DATA);
        Tokens.pkcs11Tool("--login", "--pin", "123456", "--sign", "--mechanism", "SHA256-RSA-PKCS", "--label",
                "library-made", "--input-file", data.toString(), "--output-file", sig.toString());
        byte[] theirs = Files.readAllBytes(sig);
        assertVerifies(pub, CALG_SHA_256, DATA, theirs);
        // PKCS#1 v1.5 is deterministic: the library's signature is the same bytes.
        assertArrayEquals(theirs, sign("library-made", AT_SIGNATURE, CALG_SHA_256));
        MSCAPI.deleteKeyPair(PROVIDER, "library-made");
    }
}
