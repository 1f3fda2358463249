package com.qel.varnel;

import static com.qel.varnel.TestHome.defaultProvider;
import static com.qel.varnel.TestHome.provider;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.util.List;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

class ProvidersTest {
    @AfterEach
    void restore() throws Exception {
        TestHome.restoreDefaultRegistry();
    }

    @Test
    void defaultRegistrationListsTheDefaultFirstThenTheRestNewestFirst() throws Exception {
        TestHome.restoreDefaultRegistry();
        // The registry delivers type-1 providers as Base, Enhanced, Strong,
        // Soft Token (alphabetical); Strong is the default. (The default
        // registration's PKCS#11 provider is removed from every test home by
        // tests/tokens/token-home.sh; the native tests check it.)
        assertEquals(List.of("Microsoft Strong Cryptographic Provider", "Soft Token RSA Provider",
                "Microsoft Enhanced Cryptographic Provider v1.0", "Microsoft Base Cryptographic Provider v1.0"),
                Layouts.providers(MSCAPI.queryProviders()));
    }

    static Stream<Arguments> orders() {
        String pqr = provider("P", 1, "rsaenh.dll") + provider("Q", 1, "rsaenh.dll") + provider("R", 1, "rsaenh.dll");
        return Stream.of(
                Arguments.of("Q is the default", pqr + defaultProvider("Q"), List.of("Q", "R", "P")),
                Arguments.of("no default", pqr, List.of("R", "Q", "P")),
                Arguments.of("default differs in case only", pqr + defaultProvider("q"), List.of("R", "Q", "P")),
                Arguments.of("default names no provider", pqr + defaultProvider("Z"), List.of("R", "Q", "P")),
                Arguments.of("default too long for its buffer", pqr + defaultProvider("Q".repeat(600)),
                        List.of("R", "Q", "P")),
                Arguments.of("other types never listed, even as default",
                        provider("A", 24, "rsaenh.dll") + provider("B", 1, null) + provider("C", 3, "dssenh.dll")
                                + provider("D", null, "rsaenh.dll") + defaultProvider("A"),
                        List.of("B")),
                Arguments.of("image does not matter", provider("Vendor", 1, "vendor.dll"), List.of("Vendor")),
                Arguments.of("no type-1 provider", provider("A", 12, "schannel.dll"), List.of()),
                Arguments.of("no providers at all, an empty provider key",
                        "[HKEY_LOCAL_MACHINE\\" + TestHome.PROVIDERS + "]\n", List.of()));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("orders")
    void order(String what, String registry, List<String> expected) throws Exception {
        TestHome.replaceRegistry(registry);
        assertEquals(expected, Layouts.providers(MSCAPI.queryProviders()), what);
    }

    @Test
    void emptyListIsFourZeroBytes() throws Exception {
        TestHome.replaceRegistry(provider("A", 2, "rsaenh.dll"));
        assertArrayEquals(new byte[4], MSCAPI.queryProviders());
    }

    @Test
    void namesCarryNoTerminator() throws Exception {
        String name = "N".repeat(40);
        TestHome.replaceRegistry(provider(name, 1, "rsaenh.dll"));
        byte[] list = MSCAPI.queryProviders();
        assertEquals(4 + 44, list.length);
        assertArrayEquals(new byte[] {1, 0, 0, 0, 40, 0, 0, 0}, java.util.Arrays.copyOf(list, 8));
    }

    static Stream<Arguments> failures() {
        return Stream.of(
                Arguments.of("Failed to open provider path in registry!", defaultProvider("Q")),
                Arguments.of("Failed to open provider key in registry!",
                        provider("A", 1, "rsaenh.dll")
                                + "[HKEY_LOCAL_MACHINE\\" + TestHome.PROVIDERS + "\\Locked]\n"
                                + "\"EmulationAccess\"=\"denied\"\n\"Type\"=dword:00000001\n"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("failures")
    void failure(String message, String registry) throws Exception {
        TestHome.replaceRegistry(registry);
        Exception e = assertThrows(Exception.class, MSCAPI::queryProviders);
        assertSame(Exception.class, e.getClass());
        assertEquals(message, e.getMessage());
    }
}
