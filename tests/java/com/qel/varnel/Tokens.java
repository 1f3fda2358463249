package com.qel.varnel;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * The SoftHSM2 token that tests/tokens/token-home.sh made in this JVM's home
 * when MSCAPI_TEST_TOKENS is set (direct or proxy): its provider, its
 * PINs, its PIN prompt, and OpenSC's pkcs11-tool on the same token.
 */
final class Tokens {
    private Tokens() {
    }

    static final String PROVIDER = "SoftHSM Test Provider";
    static final String LABEL = "L";
    static final byte[] PIN = "123456".getBytes(StandardCharsets.US_ASCII);
    static final String SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so";

    /** The run's mode, or null in a home without a token. */
    static String mode() {
        String m = System.getenv("MSCAPI_TEST_TOKENS");
        return m == null || m.isEmpty() || m.equals("none") ? null : m;
    }

    static boolean present() {
        return mode() != null;
    }

    /** The token's provider in a token run, else the given software provider. */
    static String providerOr(String software) {
        return present() ? PROVIDER : software;
    }

    /** The given providers, and the token's in a token run. */
    static String[] withToken(String... providers) {
        if (!present()) {
            return providers;
        }
        String[] all = Arrays.copyOf(providers, providers.length + 1);
        all[providers.length] = PROVIDER;
        return all;
    }

    /** A container's full name on the test token, as PP_ENUMCONTAINERS gives it. */
    static String fullName(String container) {
        return "\\\\.\\" + LABEL + "\\" + container;
    }

    static Path dir() {
        return TestHome.home().resolve("softhsm");
    }

    /** What the PIN prompt program answers from now on. */
    static void promptAnswers(String pin) throws IOException {
        Files.writeString(dir().resolve("pin"), pin + "\n");
    }

    /** The prompts the PIN prompt program was run with, in order. */
    static List<String> prompts() throws IOException {
        Path log = dir().resolve("prompts.log");
        return Files.exists(log) ? Files.readAllLines(log) : List.of();
    }

    /** Runs OpenSC's pkcs11-tool on the test token (straight through SoftHSM2's module); its output. */
    static String pkcs11Tool(String... args) throws Exception {
        List<String> cmd = new ArrayList<>(List.of("pkcs11-tool", "--module", SOFTHSM_MODULE, "--token-label",
                LABEL));
        cmd.addAll(Arrays.asList(args));
        ProcessBuilder pb = new ProcessBuilder(cmd).redirectErrorStream(true);
        pb.environment().put("SOFTHSM2_CONF", dir().resolve("softhsm2.conf").toString());
        Process p = pb.start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertEquals(0, p.waitFor(), () -> "pkcs11-tool " + String.join(" ", args) + ":\n" + out);
        return out;
    }
}
