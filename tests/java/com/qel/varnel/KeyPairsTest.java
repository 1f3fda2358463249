package com.qel.varnel;

import static com.qel.varnel.TestHome.provider;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.math.BigInteger;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.interfaces.RSAPrivateCrtKey;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** queryKeyPairs: every key of every container of every RSA provider, newest first. */
class KeyPairsTest {
    static final String STRONG = "Microsoft Strong Cryptographic Provider";
    static final String BASE = "Microsoft Base Cryptographic Provider v1.0";
    static final String ENHANCED = "Microsoft Enhanced Cryptographic Provider v1.0";
    static final String TOKEN = "Soft Token RSA Provider";

    static void addKey(String provider, String container, int keySpec, int bits) throws Exception {
        Process p = new ProcessBuilder(System.getProperty("mscapi.test.addkey"), provider, container,
                Integer.toString(keySpec), Integer.toString(bits)).inheritIO().start();
        assertEquals(0, p.waitFor(), "adding a key to " + container);
    }

    final List<String[]> created = new ArrayList<>();

    byte[] generate(String provider, String container, int keySpec, int bits) {
        byte[] pub = MSCAPI.generateKeyPair(provider, container, keySpec, bits);
        created.add(new String[] {provider, container});
        return pub;
    }

    @BeforeEach
    @AfterEach
    void clean() throws Exception {
        // Containers first, while the providers that made them are registered.
        for (String[] pc : created) {
            try {
                MSCAPI.deleteKeyPair(pc[0], pc[1]);
            } catch (Exception alreadyGone) {
                // deleted by the test itself
            }
        }
        created.clear();
        TestHome.restoreDefaultRegistry();
    }

    @Test
    void noContainersGiveTheEmptyList() {
        assertArrayEquals(new byte[4], MSCAPI.queryKeyPairs());
    }

    @Test
    void recordLayoutAndOrder() throws Exception {
        byte[] pub = generate(STRONG, "both-keys", 2, 1024);
        addKey(STRONG, "both-keys", 1, 1024);
        generate(TOKEN, "token-one", 1, 1024);
        List<Layouts.KeyPair> recs = Layouts.keyPairs(MSCAPI.queryKeyPairs());
        // Providers are searched in registry order (the software family first,
        // then the token); within a container the exchange key before the
        // signature key; the list is the reverse.
        String family = recs.get(1).provider(); // the family's first provider met
        assertEquals(List.of(TOKEN + "/token-one/1", family + "/both-keys/2", family + "/both-keys/1"), Layouts.ids(recs));
        assertEquals(BASE, family, "the first Microsoft provider the registry delivers searches the family");
        Layouts.KeyPair signature = recs.get(1);
        assertEquals(128, signature.modulus().length);
        assertEquals(148 + family.length() + "both-keys".length(), signature.size());
        assertArrayEquals(Arrays.copyOfRange(pub, 4, 132), signature.modulus(), "modulus as generateKeyPair gave it");
        assertEquals(65537, signature.exponent());
    }

    @Test
    void softwareFamilyListedOnceTokenFamilyPerProvider() throws Exception {
        generate(ENHANCED, "shared", 2, 512);
        TestHome.replaceRegistry(provider(BASE, 1, "rsaenh.dll") + provider(ENHANCED, 1, "rsaenh.dll")
                + provider(STRONG, 1, "rsaenh.dll") + provider("Token A", 1, "softtoken.dll")
                + provider("Token B", 1, "softtoken.dll"));
        generate("Token A", "on-token", 2, 512);
        assertEquals(List.of("Token B/on-token/2", "Token A/on-token/2", BASE + "/shared/2"),
                Layouts.ids(Layouts.keyPairs(MSCAPI.queryKeyPairs())));
    }

    @Test
    void firstMicrosoftProviderUsesUpTheFamilysTurn() throws Exception {
        generate(STRONG, "hidden", 2, 512);
        generate(TOKEN, "seen", 2, 512);
        String rest = provider(STRONG, 1, "rsaenh.dll") + provider(TOKEN, 1, "softtoken.dll");
        // Not of type 1.
        TestHome.replaceRegistry(provider("Microsoft AAA", 24, "rsaenh.dll") + rest);
        assertEquals(List.of(TOKEN + "/seen/2"), Layouts.ids(Layouts.keyPairs(MSCAPI.queryKeyPairs())));
        // Of type 1, but it cannot be acquired (an image the machine does not have).
        TestHome.replaceRegistry(provider("Microsoft AAA", 1, "missing.dll") + rest);
        assertEquals(List.of(TOKEN + "/seen/2"), Layouts.ids(Layouts.keyPairs(MSCAPI.queryKeyPairs())));
        // Other letter case is not the family.
        TestHome.replaceRegistry(provider("microsoft aaa", 1, "missing.dll") + rest);
        assertEquals(List.of(TOKEN + "/seen/2", STRONG + "/hidden/2"), Layouts.ids(Layouts.keyPairs(MSCAPI.queryKeyPairs())));
    }

    @Test
    void pinProtectedKeyIsListedWithoutItsPin() throws Exception {
        KeyPairGenerator g = KeyPairGenerator.getInstance("RSA");
        g.initialize(1024);
        KeyPair kp = g.generateKeyPair();
        RSAPrivateCrtKey k = (RSAPrivateCrtKey) kp.getPrivate();
        MSCAPI.importKeyPairPwd(TOKEN, "pinned", 1, fixed(k.getModulus(), 128), 1024,
                k.getPublicExponent().intValue(), fixed(k.getPrivateExponent(), 128), fixed(k.getPrimeP(), 64),
                fixed(k.getPrimeQ(), 64), fixed(k.getPrimeExponentP(), 64), fixed(k.getPrimeExponentQ(), 64),
                fixed(k.getCrtCoefficient(), 64), "1234".getBytes());
        created.add(new String[] {TOKEN, "pinned"});
        List<Layouts.KeyPair> recs = Layouts.keyPairs(MSCAPI.queryKeyPairs());
        assertEquals(List.of(TOKEN + "/pinned/1"), Layouts.ids(recs));
        assertEquals(k.getModulus(), new BigInteger(1, recs.get(0).modulus()));
    }

    @Test
    void providerKeyThatCannotBeOpened() throws Exception {
        TestHome.replaceRegistry(provider("A", 1, "rsaenh.dll") + "[HKEY_LOCAL_MACHINE\\" + TestHome.PROVIDERS
                + "\\Locked]\n\"EmulationAccess\"=\"denied\"\n");
        Exception e = assertThrows(Exception.class, MSCAPI::queryKeyPairs);
        assertEquals("Failed to open provider key in registry!", e.getMessage());
        TestHome.replaceRegistry(TestHome.defaultProvider("A"));
        e = assertThrows(Exception.class, MSCAPI::queryKeyPairs);
        assertEquals("Failed to open provider path in registry!", e.getMessage());
    }

    /** The unsigned big-endian value in exactly `len` bytes. */
    static byte[] fixed(BigInteger v, int len) {
        byte[] b = v.toByteArray();
        byte[] out = new byte[len];
        int copy = Math.min(b.length, len);
        System.arraycopy(b, b.length - copy, out, len - copy, copy);
        return out;
    }
}
