package com.qel.varnel;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;

/** The test JVM's own MSCAPI_HOME (a fresh temporary folder) and helpers to read results. */
final class TestHome {
    private TestHome() {
    }

    static final String PROVIDERS = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
    static final String DEFAULT_TYPE_1 = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type 001";

    static Path home() {
        String h = System.getenv("MSCAPI_HOME");
        if (h == null || h.isEmpty()) {
            throw new IllegalStateException("tests must run with their own MSCAPI_HOME");
        }
        return Path.of(h);
    }

    /** Replaces the whole registration with the given .reg body (the version line is added). */
    static void replaceRegistry(String body) throws IOException {
        Path dir = home().resolve("registry");
        Files.createDirectories(dir);
        try (var files = Files.list(dir)) {
            for (Path p : (Iterable<Path>) files::iterator) {
                Files.delete(p);
            }
        }
        Files.writeString(dir.resolve("10-test.reg"), "Windows Registry Editor Version 5.00\n\n" + body);
    }

    /**
     * The .reg file the harness (tests/tokens/token-home.sh) added to the
     * default registration: it removes the machine's PKCS#11 provider and
     * registers the run's own token, if any. Read before any test changes it.
     */
    private static final String HARNESS_REG = "50-tokens.reg";
    private static final String harnessRegistration = readHarnessRegistration();

    private static String readHarnessRegistration() {
        try {
            Path f = home().resolve("registry").resolve(HARNESS_REG);
            return Files.exists(f) ? Files.readString(f) : null;
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
    }

    /**
     * Goes back to the default registration the emulation writes on first
     * use, with the harness's own file after it again.
     */
    static void restoreDefaultRegistry() throws IOException {
        Path dir = home().resolve("registry");
        if (Files.isDirectory(dir)) {
            try (var files = Files.list(dir)) {
                for (Path p : (Iterable<Path>) files::iterator) {
                    Files.delete(p);
                }
            }
            Files.delete(dir);
        }
        if (harnessRegistration != null) {
            MSCAPI.queryProviders(); // writes the default registration
            Files.writeString(dir.resolve(HARNESS_REG), harnessRegistration);
        }
    }

    /** A provider's registry section. */
    static String provider(String name, Integer type, String image) {
        StringBuilder s = new StringBuilder("[HKEY_LOCAL_MACHINE\\" + PROVIDERS + "\\" + name + "]\n");
        if (image != null) {
            s.append("\"Image Path\"=\"").append(image).append("\"\n");
        }
        if (type != null) {
            s.append(String.format("\"Type\"=dword:%08x\n", type));
        }
        return s.append('\n').toString();
    }

    static String defaultProvider(String name) {
        return "[HKEY_LOCAL_MACHINE\\" + DEFAULT_TYPE_1 + "]\n\"Name\"=\"" + name + "\"\n\n";
    }
}
