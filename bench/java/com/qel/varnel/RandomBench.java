package com.qel.varnel;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;

/**
 * generateRandom against the least a JNI method can do for the same bytes:
 * opensslRandom, a native method of this class (random_baseline.cpp, a
 * library built only for the benchmark) that makes the array and has
 * OpenSSL's RAND_bytes draw into it. Two measures, each in rounds that
 * alternate the two sides (which goes first turns with the rounds), the
 * calling thread's CPU time, the median of the per-round ratios: 32 bytes
 * per call, and 1,000,000 bytes per call as throughput. Prints RATIO lines
 * (bench/README.md). Usage: RandomBench BASELINE_LIBRARY ROUNDS
 */
public final class RandomBench {
    private RandomBench() {
    }

    static native byte[] opensslRandom(int length);

    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();
    private static long sink;

    public static void main(String[] args) throws Exception {
        System.load(args[0]);
        int rounds = Integer.parseInt(args[1]);
        System.out.println("load average at start: " + loadAverage());
        measure("random_32_vs_openssl", 32, 20_000, rounds, true, 1.5);
        measure("random_1M_vs_openssl", 1_000_000, 40, rounds, false, 0.8);
        System.out.println("load average at end: " + loadAverage());
        if (sink == 42) {
            System.out.println();
        }
    }

    // One measure: `calls` calls of each side per round. perCall: the ratio
    // of generateRandom's CPU time to the baseline's (at most `target`);
    // otherwise the ratio of throughputs (at least `target`).
    static void measure(String name, int length, int calls, int rounds, boolean perCall, double target) {
        for (int i = 0; i < calls; i++) { // warm-up: the JIT, OpenSSL's DRBG of this thread
            take(MSCAPI.generateRandom(null, length), length);
            take(opensslRandom(length), length);
        }
        double[] ratios = new double[rounds];
        double[] oursUs = new double[rounds];
        double[] bareUs = new double[rounds];
        for (int r = 0; r < rounds; r++) {
            double ours = 0, bare = 0;
            for (int turn = 0; turn < 2; turn++) {
                boolean runOurs = (turn == 0) == (r % 2 == 0);
                long t0 = THREADS.getCurrentThreadCpuTime();
                for (int i = 0; i < calls; i++) {
                    take(runOurs ? MSCAPI.generateRandom(null, length) : opensslRandom(length), length);
                }
                double us = (THREADS.getCurrentThreadCpuTime() - t0) / 1e3 / calls;
                if (runOurs) {
                    ours = us;
                } else {
                    bare = us;
                }
            }
            oursUs[r] = ours;
            bareUs[r] = bare;
            ratios[r] = perCall ? ours / bare : bare / ours;
        }
        System.out.printf("generateRandom(null, %d): %.2f us CPU per call (median of %d rounds of %d calls)%n",
                length, median(oursUs), rounds, calls);
        System.out.printf("opensslRandom(%d): %.2f us CPU per call%n", length, median(bareUs));
        double[] sorted = ratios.clone();
        Arrays.sort(sorted);
        System.out.printf("RATIO %s %.3f %s %s %s, thread CPU, median of %d rounds of %d calls, range %.3f-%.3f%n",
                name, median(ratios), perCall ? "<=" : ">=", target,
                perCall ? "generateRandom(null, " + length + ") per call / a bare JNI method's RAND_bytes"
                        : "generateRandom(null, " + length + ") throughput / a bare JNI method's RAND_bytes",
                rounds, calls, sorted[0], sorted[sorted.length - 1]);
    }

    static void take(byte[] a, int length) {
        if (a == null || a.length != length) {
            throw new IllegalStateException("another length");
        }
        sink += a[length - 1];
    }

    static double median(double[] v) {
        double[] s = v.clone();
        Arrays.sort(s);
        return s[s.length / 2];
    }

    static String loadAverage() {
        try {
            String[] f = Files.readString(Path.of("/proc/loadavg")).split(" ");
            return f[0] + " " + f[1] + " " + f[2];
        } catch (Exception e) {
            return "unknown";
        }
    }
}
