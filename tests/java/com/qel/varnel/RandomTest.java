package com.qel.varnel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.HashSet;
import java.util.Set;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.NullSource;
import org.junit.jupiter.params.provider.ValueSource;
import org.junit.jupiter.api.Test;

class RandomTest {
    static final String FAILED = "Failed to open provider key in registry!";

    @ParameterizedTest
    @NullSource
    @ValueSource(strings = {"Microsoft Strong Cryptographic Provider", "Microsoft Base Cryptographic Provider v1.0",
            "Microsoft Enhanced Cryptographic Provider v1.0", "Soft Token RSA Provider"})
    void lengthsAreExactAndBytesDiffer(String provider) {
        for (int n : new int[] {0, 1, 20, 4096}) {
            byte[] a = MSCAPI.generateRandom(provider, n);
            assertNotNull(a);
            assertEquals(n, a.length);
        }
        Set<String> seen = new HashSet<>();
        for (int i = 0; i < 20; i++) {
            assertTrue(seen.add(Arrays.toString(MSCAPI.generateRandom(provider, 16))), "repeated random bytes");
        }
    }

    @ParameterizedTest
    @CsvSource(value = {
        "NULL, -1",
        "NULL, -2147483648",
        "No Such Provider, 8",
        "microsoft strong cryptographic provider x, 8",
        // Registered, but of another type or with an image the emulation does not implement.
        "Microsoft Enhanced RSA and AES Cryptographic Provider, 8",
        "Microsoft Base DSS Cryptographic Provider, 8",
        "'', 8",
    }, nullValues = "NULL")
    void failuresAllCarryOneMessage(String provider, int length) {
        Exception e = assertThrows(Exception.class, () -> MSCAPI.generateRandom(provider, length));
        assertSame(Exception.class, e.getClass());
        assertEquals(FAILED, e.getMessage());
    }

    // A length no Java array can have fails as NewByteArray does (the JVM's
    // own error), before a byte is drawn: drawing 2 GB first took 20 s and
    // 2 GB of memory. The process's peak resident size shows whether they
    // were drawn; a provider that cannot be opened is still reported first.
    @Test
    void aLengthNoArrayCanHaveFailsWithoutDrawing() throws Exception {
        long peakBefore = peakResidentKb();
        assertThrows(OutOfMemoryError.class, () -> MSCAPI.generateRandom(null, Integer.MAX_VALUE));
        assertThrows(OutOfMemoryError.class,
                () -> MSCAPI.generateRandom("Microsoft Strong Cryptographic Provider", Integer.MAX_VALUE));
        Exception e = assertThrows(Exception.class, () -> MSCAPI.generateRandom("No Such Provider", Integer.MAX_VALUE));
        assertEquals(FAILED, e.getMessage());
        long peakAfter = peakResidentKb();
        if (peakBefore >= 0 && peakAfter >= 0) {
            assertTrue(peakAfter - peakBefore < 256 * 1024,
                    "peak resident size grew by " + (peakAfter - peakBefore) + " KB");
        }
        assertEquals(32, MSCAPI.generateRandom(null, 32).length, "the next call is served");
    }

    // VmHWM of /proc/self/status in KB; -1 where there is no such file.
    static long peakResidentKb() throws Exception {
        Path status = Path.of("/proc/self/status");
        if (!Files.exists(status)) {
            return -1;
        }
        for (String line : Files.readAllLines(status)) {
            if (line.startsWith("VmHWM:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        return -1;
    }

    @Test
    void touchesNoKeyContainer() throws Exception {
        Path home = Path.of(System.getenv("MSCAPI_HOME"));
        MSCAPI.generateRandom(null, 8);
        MSCAPI.generateRandom("Soft Token RSA Provider", 8);
        try (var files = Files.list(home)) {
            assertFalse(files.anyMatch(p -> p.getFileName().toString().startsWith("keys")),
                    "random bytes created key storage");
        }
    }
}
