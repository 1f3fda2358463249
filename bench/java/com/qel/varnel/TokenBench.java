package com.qel.varnel;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyStore;
import java.security.MessageDigest;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.Security;
import java.security.Signature;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;

/**
 * RSA-2048 verifyAndSign on a SoftHSM2 token key, through the JVM, against
 * two baselines on the same key in the same run: SoftHSM2's own C_Sign
 * (bench/p11_sign_rate in a process of its own) and the JDK's SunPKCS11
 * (NONEwithRSA over the same DigestInfo). Rounds alternate the three; each
 * ratio is the median of the per-round ratios of signatures per second of
 * the signing thread's CPU time (the wall-clock ratio printed beside it).
 * Within a round, verifyAndSign, sign (no PIN) and SunPKCS11 take turns in
 * blocks of a few signatures, so that all meet the machine in the same state.
 * Prints RATIO lines. With SPY_LOG, the calls of a signature are counted too,
 * through the provider SPY_PROVIDER (OpenSC's pkcs11-spy logging to SPY_LOG).
 * Arguments: MODULE TOKEN_LABEL PIN RATE_PROGRAM ROUNDS N [SPY_LOG]
 */
public final class TokenBench {
    static final String PROVIDER = "SoftHSM Test Provider";
    static final String KEY = "bench";

    public static void main(String[] args) throws Exception {
        String module = args[0];
        String token = args[1];
        byte[] pin = args[2].getBytes(StandardCharsets.US_ASCII);
        String rateProgram = args[3];
        int rounds = Integer.parseInt(args[4]);
        int n = Integer.parseInt(args[5]);

        MSCAPI.generateKeyPair(PROVIDER, KEY, 2, 2048);
        byte[] hash = MessageDigest.getInstance("SHA-256").digest("benchmark message".getBytes(StandardCharsets.US_ASCII));
        byte[] digestInfo = new byte[19 + 32];
        System.arraycopy(new byte[] {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, (byte) 0x86, 0x48, 0x01, 0x65, 0x03,
            0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20}, 0, digestInfo, 0, 19);
        System.arraycopy(hash, 0, digestInfo, 19, 32);

        Signature jdk = sunPkcs11(module, token, args[2], digestInfo);
        // Warm-up: the JIT, the library's session and handle caches.
        for (int i = 0; i < 50; i++) {
            byte[] mine = MSCAPI.verifyAndSign(PROVIDER, KEY, 2, hash, 1, 0x800C, pin);
            if (jdk != null) {
                jdk.update(digestInfo);
                byte[] theirs = jdk.sign();
                if (i == 0 && !Arrays.equals(mine, theirs)) {
                    throw new IllegalStateException("SunPKCS11 and the library sign differently: not the same key");
                }
            }
        }

        List<Double> vsNative = new ArrayList<>();
        List<Double> vsJdk = new ArrayList<>();
        List<Double> vsNativeWall = new ArrayList<>();
        List<Double> vsJdkWall = new ArrayList<>();
        List<Double> plainVsJdk = new ArrayList<>();
        for (int r = 0; r < rounds; r++) {
            Call mine = () -> MSCAPI.verifyAndSign(PROVIDER, KEY, 2, hash, 1, 0x800C, pin);
            // sign without a PIN, beside it: what the PIN check adds.
            Call unpinned = () -> MSCAPI.sign(PROVIDER, KEY, 2, hash, 1, 0x800C);
            Call theirs = () -> {
                jdk.update(digestInfo);
                jdk.sign();
            };
            double[][] all = jdk != null ? alternate(n, mine, unpinned, theirs) : alternate(n, mine, unpinned);
            double[] ours = all[0];
            double[] plain = all[1];
            double[] j = jdk != null ? all[2] : null;
            if (j != null) {
                vsJdk.add(ours[0] / j[0]);
                vsJdkWall.add(ours[1] / j[1]);
                plainVsJdk.add(plain[0] / j[0]);
            }
            double[] c = rate(rateProgram, "pkcs11", module, token, args[2], KEY, Integer.toString(n));
            vsNative.add(ours[0] / c[0]);
            vsNativeWall.add(ours[1] / c[1]);
            System.out.printf("round %d (signatures/s of CPU time, of wall clock): verifyAndSign %.0f %.0f, sign %.0f %.0f,"
                    + " C_Sign %.0f %.0f, SunPKCS11 %s%n", r + 1, ours[0], ours[1], plain[0], plain[1], c[0], c[1],
                    j != null ? String.format("%.0f %.0f", j[0], j[1]) : "-");
        }
        double[] openssl = rate(rateProgram, "openssl", Integer.toString(n));
        System.out.printf("OpenSSL EVP_PKEY_sign alone, RSA-2048 key loaded once: %.0f signatures/s of CPU time%n",
                openssl[0]);
        System.out.printf("RATIO token_vs_C_Sign %.3f >= 0.95 verifyAndSign on a SoftHSM2 key / SoftHSM2's own C_Sign "
                + "on it, per CPU second of the signing thread, median of %d rounds of %d (wall clock: %.3f)%n",
                median(vsNative), rounds, n, median(vsNativeWall));
        if (jdk != null) {
            System.out.printf("RATIO token_vs_SunPKCS11 %.3f >= 1 verifyAndSign / SunPKCS11 NONEwithRSA over the "
                    + "same DigestInfo with the same key, per CPU second, median of %d rounds of %d (wall clock: "
                    + "%.3f)%n", median(vsJdk), rounds, n, median(vsJdkWall));
            System.out.printf("sign (no PIN) / SunPKCS11 NONEwithRSA: %.3f per CPU second, median of %d rounds%n",
                    median(plainVsJdk), rounds);
        }
        if (args.length > 6) {
            callsPerSignature(Path.of(args[6]), hash, pin);
        }
        MSCAPI.deleteKeyPair(PROVIDER, KEY);
    }

    /** The provider whose image is OpenSC's pkcs11-spy in front of SoftHSM2 (tokens_bench). */
    static final String SPY_PROVIDER = "SoftHSM Spy Provider";

    /**
     * The module calls a verifyAndSign makes on the key, as OpenSC's
     * pkcs11-spy logs them in front of SoftHSM2: the calls of 100 signatures
     * made after 10 others, by name, and per signature.
     */
    static void callsPerSignature(Path log, byte[] hash, byte[] pin) throws Exception {
        for (int i = 0; i < 10; i++) {
            MSCAPI.verifyAndSign(SPY_PROVIDER, KEY, 2, hash, 1, 0x800C, pin);
        }
        java.util.Map<String, Integer> before = spyCalls(log);
        for (int i = 0; i < 100; i++) {
            MSCAPI.verifyAndSign(SPY_PROVIDER, KEY, 2, hash, 1, 0x800C, pin);
        }
        java.util.Map<String, Integer> after = spyCalls(log);
        int total = 0;
        StringBuilder byName = new StringBuilder();
        for (java.util.Map.Entry<String, Integer> e : after.entrySet()) {
            int more = e.getValue() - before.getOrDefault(e.getKey(), 0);
            if (more != 0) {
                byName.append(' ').append(e.getKey()).append('=').append(more);
                total += more;
            }
        }
        System.out.printf("RATIO token_calls_per_signature %.2f <= 2 module calls of a verifyAndSign on the SoftHSM2 "
                + "key (OpenSC's pkcs11-spy in front of the module; 100 signatures after 10):%s%n", total / 100.0, byName);
    }

    /** The calls in a pkcs11-spy log ("N: C_Name" lines), by name. */
    static java.util.Map<String, Integer> spyCalls(Path log) throws Exception {
        java.util.Map<String, Integer> calls = new java.util.TreeMap<>();
        for (String line : Files.readAllLines(log, StandardCharsets.ISO_8859_1)) {
            int colon = line.indexOf(": C_");
            if (colon > 0 && line.substring(0, colon).chars().allMatch(Character::isDigit)) {
                calls.merge(line.substring(colon + 2).trim(), 1, Integer::sum);
            }
        }
        return calls;
    }

    static String run(String... cmd) throws Exception {
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (p.waitFor() != 0) {
            throw new IllegalStateException(cmd[0] + " failed: " + out);
        }
        return out;
    }

    interface Call {
        void run() throws Exception;
    }

    /** Block size of alternate(). */
    static final int BLOCK = 10;

    /**
     * The order in which alternate() runs the blocks of two or three calls:
     * every call comes after every other one equally often. (A call run
     * right after another meets the caches as that one left them; in a plain
     * rotation of three, one call would mostly come after the same other.)
     */
    static int[] blockOrder(int calls) {
        switch (calls) {
            case 2: return new int[] {0, 1};
            case 3: return new int[] {0, 1, 2, 0, 2, 1};
            default: throw new IllegalArgumentException("two or three calls");
        }
    }

    /**
     * n calls of each of the calls, taking turns in blocks of BLOCK in
     * blockOrder(): for each, signatures per second of this thread's CPU
     * time and of the wall clock, over the summed time of its blocks.
     */
    static double[][] alternate(int n, Call... calls) throws Exception {
        ThreadMXBean mx = ManagementFactory.getThreadMXBean();
        int[] order = blockOrder(calls.length);
        long[] cpu = new long[calls.length];
        long[] wall = new long[calls.length];
        int[] done = new int[calls.length];
        for (int step = 0; done[order[step % order.length]] < n; step++) {
            int which = order[step % order.length];
            int count = Math.min(BLOCK, n - done[which]);
            long cpu0 = mx.getCurrentThreadCpuTime();
            long wall0 = System.nanoTime();
            for (int i = 0; i < count; i++) {
                calls[which].run();
            }
            cpu[which] += mx.getCurrentThreadCpuTime() - cpu0;
            wall[which] += System.nanoTime() - wall0;
            done[which] += count;
        }
        double[][] rates = new double[calls.length][];
        for (int k = 0; k < calls.length; k++) {
            rates[k] = new double[] {n / (cpu[k] / 1e9), n / (wall[k] / 1e9)};
        }
        return rates;
    }

    static double median(List<Double> v) {
        List<Double> s = new ArrayList<>(v);
        Collections.sort(s);
        return s.get(s.size() / 2);
    }

    /** The rates p11_sign_rate measured: per CPU second of its thread, per wall-clock second. */
    static double[] rate(String... cmd) throws Exception {
        Process p = new ProcessBuilder(cmd).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.US_ASCII).trim();
        String[] f = out.split(" ");
        if (p.waitFor() != 0 || f.length != 3 || !f[0].equals("signatures_per_second")) {
            throw new IllegalStateException(cmd[0] + " " + cmd[1] + " failed: " + out);
        }
        return new double[] {Double.parseDouble(f[1]), Double.parseDouble(f[2])};
    }

    /**
     * SunPKCS11 on the same token, its key store holding the library's key
     * (a certificate object with the key's CKA_ID is written first by the
     * bench script: SunPKCS11 lists private keys through their certificates).
     * Null, with the reason printed, when it cannot be used.
     */
    static Signature sunPkcs11(String module, String token, String pin, byte[] digestInfo) {
        try {
            // The key's CKA_ID, and a throwaway certificate (openssl) written with it.
            String objects = run("pkcs11-tool", "--module", module, "--token-label", token, "--login", "--pin", pin,
                    "--list-objects", "--type", "privkey");
            String id = null;
            boolean ours = false;
            for (String line : objects.split("\n")) {
                String l = line.trim();
                if (l.startsWith("label:")) {
                    ours = l.substring(6).trim().equals(KEY);
                } else if (l.startsWith("ID:") && ours) {
                    id = l.substring(3).trim();
                }
            }
            if (id == null) {
                System.out.println("SunPKCS11: no CKA_ID on the key; not measured");
                return null;
            }
            Path dir = Files.createTempDirectory("sunpkcs11-");
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=bench", "-days", "1",
                    "-keyout", dir.resolve("k.pem").toString(), "-outform", "DER", "-out", dir.resolve("c.der").toString());
            run("pkcs11-tool", "--module", module, "--token-label", token, "--login", "--pin", pin, "--write-object",
                    dir.resolve("c.der").toString(), "--type", "cert", "--id", id, "--label", KEY + "-certificate");
            for (String f : new String[] {"k.pem", "c.der"}) {
                Files.delete(dir.resolve(f));
            }
            Files.delete(dir);
            Path cfg = Files.createTempFile("sunpkcs11-", ".cfg");
            Files.writeString(cfg, "name = bench\nlibrary = " + module + "\nslotListIndex = 0\n");
            Provider p = Security.getProvider("SunPKCS11").configure(cfg.toString());
            Files.delete(cfg);
            KeyStore ks = KeyStore.getInstance("PKCS11", p);
            ks.load(null, pin.toCharArray());
            for (String alias : Collections.list(ks.aliases())) {
                if (ks.isKeyEntry(alias)) {
                    Signature s = Signature.getInstance("NONEwithRSA", p);
                    s.initSign((PrivateKey) ks.getKey(alias, pin.toCharArray()));
                    return s;
                }
            }
            System.out.println("SunPKCS11: no private key entry on token " + token);
        } catch (Exception e) {
            System.out.println("SunPKCS11: cannot use the token key: " + e);
        }
        return null;
    }
}
