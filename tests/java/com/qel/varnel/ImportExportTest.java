package com.qel.varnel;

import static com.qel.varnel.Keys.*;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.math.BigInteger;
import java.security.KeyFactory;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.RSAPublicKeySpec;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * importKeyPair, importKeyPairPwd and getPrivateKey, layouts checked by the
 * JDK. The tests tagged "token" run once more on a SoftHSM2 token's provider
 * (MSCAPI_TEST_TOKENS), which stores imported keys extractable.
 */
class ImportExportTest {
    static final byte[] DATA = "import and export".getBytes();
    static final String IMPORTER = Tokens.providerOr(STRONG);
    static RSAPrivateCrtKey k1024;
    static RSAPublicKey pub1024;

    @BeforeAll
    static void key() throws Exception {
        k1024 = jdkKey(1024);
        pub1024 = pub(k1024);
    }

    static RSAPublicKey pub(RSAPrivateCrtKey k) throws Exception {
        return (RSAPublicKey) KeyFactory.getInstance("RSA")
                .generatePublic(new RSAPublicKeySpec(k.getModulus(), k.getPublicExponent()));
    }

    /** The seven component arrays in the method's parameter order, as the JDK encodes them. */
    static byte[][] components(RSAPrivateCrtKey k) {
        return new byte[][] {k.getModulus().toByteArray(), k.getPrivateExponent().toByteArray(),
            k.getPrimeP().toByteArray(), k.getPrimeQ().toByteArray(), k.getPrimeExponentP().toByteArray(),
            k.getPrimeExponentQ().toByteArray(), k.getCrtCoefficient().toByteArray()};
    }

    static void importArrays(String provider, String container, int keySpec, byte[][] c, int bits, byte[] pwd) {
        MSCAPI.importKeyPairPwd(provider, container, keySpec, c[0], bits, 65537, c[1], c[2], c[3], c[4], c[5],
                c[6], pwd);
    }

    static byte[] sign(String provider, String container, int keySpec) throws Exception {
        return MSCAPI.sign(provider, container, keySpec, hash(CALG_SHA_256, DATA), 1, CALG_SHA_256);
    }

    @ParameterizedTest
    @ValueSource(ints = {1024, 2048})
    @Tag("token")
    void jdkKeyImportsSignsAndExportsBackEqual(int bits) throws Exception {
        RSAPrivateCrtKey k = bits == 1024 ? k1024 : jdkKey(bits);
        for (int keySpec : new int[] {AT_KEYEXCHANGE, AT_SIGNATURE}) {
            String name = "jdk-" + bits + "-" + keySpec;
            importJdkKey(IMPORTER, name, keySpec, k, bits, null);
            assertVerifies(pub(k), CALG_SHA_256, DATA, sign(IMPORTER, name, keySpec));
            byte[] exported = MSCAPI.getPrivateKey(IMPORTER, name, keySpec, null);
            assertEquals(9 * (bits / 16) + 4, exported.length);
            assertArrayEquals(expectedPrivateKeyBytes(k, bits), exported);
            RSAPrivateCrtKey back = privateKey(exported);
            assertEquals(k, back);
            // The key was filed under the other slot's spec only.
            int other = 3 - keySpec;
            assertFails(EXPORT_FAILED, () -> MSCAPI.getPrivateKey(IMPORTER, name, other, null));
            assertFails(SIGN_FAILED, () -> sign(IMPORTER, name, other));
        }
    }

    @Test
    void exactLengthComponentsGiveTheSameKey() throws Exception {
        int h = 64;
        RSAPrivateCrtKey k = k1024;
        byte[][] exact = {fixed(k.getModulus(), 128), fixed(k.getPrivateExponent(), 128), fixed(k.getPrimeP(), h),
            fixed(k.getPrimeQ(), h), fixed(k.getPrimeExponentP(), h), fixed(k.getPrimeExponentQ(), h),
            fixed(k.getCrtCoefficient(), h)};
        byte[][] copy = new byte[7][];
        for (int i = 0; i < 7; i++) {
            copy[i] = exact[i].clone();
        }
        importArrays(BASE, "exact", AT_SIGNATURE, exact, 1024, null);
        for (int i = 0; i < 7; i++) {
            assertArrayEquals(copy[i], exact[i], "the Java array was changed, component " + i);
        }
        assertArrayEquals(expectedPrivateKeyBytes(k, 1024), MSCAPI.getPrivateKey(STRONG, "EXACT", AT_SIGNATURE, null));
    }

    @Test
    void otherKeySpecsImportAsTheSignatureKey() throws Exception {
        importJdkKey(STRONG, "spec7", 7, k1024, 1024, null);
        assertVerifies(pub1024, CALG_SHA_256, DATA, sign(STRONG, "spec7", AT_SIGNATURE));
        assertFails(SIGN_FAILED, () -> sign(STRONG, "spec7", AT_KEYEXCHANGE));
    }

    @Test
    void generatedExportableKeyExportsAsKeyFactoryAccepts() throws Exception {
        RSAPublicKey pub = publicKey(MSCAPI.generateKeyPair(STRONG, "generated", AT_KEYEXCHANGE, 1024));
        byte[] b = MSCAPI.getPrivateKey(STRONG, "generated", AT_KEYEXCHANGE, null);
        assertEquals(580, b.length);
        assertArrayEquals(new byte[] {0, 1, 0, 1}, java.util.Arrays.copyOfRange(b, 128, 132));
        RSAPrivateCrtKey priv = privateKey(b);
        assertEquals(pub.getModulus(), priv.getModulus());
        assertSignsFor(priv, pub);
    }

    @Test
    void existingContainerKeepsItsKey() throws Exception {
        RSAPublicKey first = publicKey(MSCAPI.generateKeyPair(STRONG, "occupied", AT_SIGNATURE, 1024));
        assertFails(IMPORT_FAILED, () -> importJdkKey(ENHANCED, "Occupied", AT_SIGNATURE, k1024, 1024, null));
        assertVerifies(first, CALG_SHA_256, DATA, sign(STRONG, "occupied", AT_SIGNATURE));
    }

    @Test
    @Tag("token")
    void refusedImportsLeaveNoContainer() throws Exception {
        byte[][] good = components(k1024);
        // Blobs the provider refuses: a wrong prime, a wrong CRT coefficient, a
        // key length that does not match the modulus, an even exponent.
        byte[][] badPrime = components(k1024);
        badPrime[2][badPrime[2].length - 1] ^= 2;
        byte[][] badCoefficient = components(k1024);
        badCoefficient[6][badCoefficient[6].length - 1] ^= 1;
        assertFails(IMPORT_FAILED, () -> importArrays(IMPORTER, "refused", 2, badPrime, 1024, null));
        assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(IMPORTER, "refused"));
        assertFails(IMPORT_FAILED, () -> importArrays(IMPORTER, "refused", 2, badCoefficient, 1024, null));
        assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(IMPORTER, "refused"));
        assertFails(IMPORT_FAILED, () -> importArrays(IMPORTER, "refused", 2, good, 1016, null));
        assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(IMPORTER, "refused"));
        assertFails(IMPORT_FAILED, () -> MSCAPI.importKeyPair(IMPORTER, "refused", 2, good[0], 1024, 65536, good[1],
                good[2], good[3], good[4], good[5], good[6]));
        assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(IMPORTER, "refused"));
        // Software providers refuse any password: the container goes again.
        assertFails(REFUSED, () -> importArrays(IMPORTER, "refused", 2, good, 1024, "pw".getBytes()));
        assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(IMPORTER, "refused"));
    }

    @Test
    @Tag("token")
    void badInputsFailBeforeAnyContainerExists() throws Exception {
        byte[][] good = components(k1024);
        for (int i = 0; i < 7; i++) {
            byte[][] missing = good.clone();
            missing[i] = null;
            assertFails(IMPORT_FAILED, () -> importArrays(IMPORTER, "bad-input", 1, missing, 1024, null));
            assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(IMPORTER, "bad-input"));
            byte[][] shorter = good.clone();
            int field = i < 2 ? 128 : 64;
            shorter[i] = fixed(new BigInteger(1, good[i]), field - 1);
            assertFails(IMPORT_FAILED, () -> importArrays(IMPORTER, "bad-input", 1, shorter, 1024, null));
            assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(IMPORTER, "bad-input"));
        }
        for (int bits : new int[] {-8, -1024, Integer.MIN_VALUE}) {
            assertFails(IMPORT_FAILED, () -> importArrays(IMPORTER, "bad-input", 1, good, bits, null));
            assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(IMPORTER, "bad-input"));
        }
    }

    @Test
    void nullPasswordIsPlainImport() throws Exception {
        importArrays(TOKEN, "no-password", AT_SIGNATURE, components(k1024), 1024, null);
        // Imported into the token without a PIN: exportable and usable without one.
        assertArrayEquals(expectedPrivateKeyBytes(k1024, 1024), MSCAPI.getPrivateKey(TOKEN, "no-password", 2, null));
        assertVerifies(pub1024, CALG_SHA_256, DATA, sign(TOKEN, "no-password", AT_SIGNATURE));
    }

    @Test
    void exportFailures() throws Exception {
        assertFails(EXPORT_FAILED, () -> MSCAPI.getPrivateKey(STRONG, "nowhere", 1, null));
        assertFails(NOT_FOUND, () -> MSCAPI.deleteKeyPair(STRONG, "nowhere")); // export never creates one
        assertFails(EXPORT_FAILED, () -> MSCAPI.getPrivateKey("No Such Provider", "nowhere", 1, null));
        MSCAPI.generateKeyPair(STRONG, "kx-only", AT_KEYEXCHANGE, 1024);
        assertFails(EXPORT_FAILED, () -> MSCAPI.getPrivateKey(STRONG, "kx-only", AT_SIGNATURE, null));
        assertFails(REFUSED, () -> MSCAPI.getPrivateKey(STRONG, "kx-only", AT_KEYEXCHANGE, new byte[0]));
        // A length that is not a multiple of 16 does not line up with the layout's fields.
        MSCAPI.generateKeyPair(STRONG, "odd-length", AT_SIGNATURE, 1032);
        assertFails(EXPORT_FAILED, () -> MSCAPI.getPrivateKey(STRONG, "odd-length", AT_SIGNATURE, null));
        // Keys born on the token are not exportable: the fallback attempt made the key.
        RSAPublicKey tokenKey = publicKey(MSCAPI.generateKeyPair(TOKEN, "token-born", AT_SIGNATURE, 1024));
        assertVerifies(tokenKey, CALG_SHA_256, DATA, sign(TOKEN, "token-born", AT_SIGNATURE));
        assertFails(EXPORT_FAILED, () -> MSCAPI.getPrivateKey(TOKEN, "token-born", AT_SIGNATURE, null));
    }
}
