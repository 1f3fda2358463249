package com.qel.varnel;

import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * verifyAndSign on a token that holds many objects, over time (see
 * tokenload_bench and bench/README.md). Two modes:
 * <ul>
 * <li>{@code calls PROVIDER KEY PIN SPY_LOG SECONDS NAME WHAT}: the module
 * calls per signature over a run of SECONDS in which signatures come in bursts
 * of BURST with a pause of PAUSE_MS between bursts (longer than any time
 * window a cache might have), as OpenSC's pkcs11-spy (the provider's image)
 * logs them; prints {@code RATIO NAME}.</li>
 * <li>{@code threads PROVIDER KEY PIN ROUNDS N RATE_PROGRAM MODULE TOKEN}:
 * makes the key (RSA-2048, AT_SIGNATURE), then two threads signing at once on
 * the token against one thread alone; prints {@code RATIO
 * token_2threads_vs_1}, and beside it the same ratio of the module's own
 * C_SignInit + C_Sign in threads with a session each (bench/p11_sign_rate
 * threads), measured in the same rounds: what the module and the machine
 * allow at the moment.</li>
 * </ul>
 */
public final class TokenLoadBench {
    static final int BURST = 20;
    static final long PAUSE_MS = 150;

    public static void main(String[] args) throws Exception {
        String provider = args[1];
        String key = args[2];
        byte[] pin = args[3].getBytes(StandardCharsets.US_ASCII);
        byte[] hash = MessageDigest.getInstance("SHA-256").digest("benchmark message".getBytes(StandardCharsets.US_ASCII));
        Signer signer = () -> MSCAPI.verifyAndSign(provider, key, 2, hash, 1, 0x800C, pin);
        switch (args[0]) {
            case "calls":
                calls(signer, Path.of(args[4]), Double.parseDouble(args[5]), args[6], args[7]);
                break;
            case "threads":
                // The key, made first (the provider's PIN prompt logs in).
                MSCAPI.generateKeyPair(provider, key, 2, 2048);
                threads(signer, Integer.parseInt(args[4]), Integer.parseInt(args[5]), args[6], args[7], args[8],
                        args[2], args[3]);
                break;
            default:
                throw new IllegalArgumentException("calls or threads");
        }
    }

    interface Signer {
        byte[] sign() throws Exception;
    }

    static void calls(Signer signer, Path log, double seconds, String name, String what) throws Exception {
        // Warm-up: the first open lists the token's containers, the first
        // signature finds the key and logs in.
        for (int i = 0; i < 10; i++) {
            signer.sign();
        }
        Map<String, Integer> before = TokenBench.spyCalls(log);
        long end = System.nanoTime() + (long) (seconds * 1e9);
        int signatures = 0;
        int pauses = 0;
        while (System.nanoTime() < end) {
            for (int i = 0; i < BURST; i++) {
                signer.sign();
                signatures++;
            }
            Thread.sleep(PAUSE_MS);
            pauses++;
        }
        Map<String, Integer> after = TokenBench.spyCalls(log);
        int total = 0;
        StringBuilder byName = new StringBuilder();
        for (Map.Entry<String, Integer> e : after.entrySet()) {
            int more = e.getValue() - before.getOrDefault(e.getKey(), 0);
            if (more != 0) {
                byName.append(' ').append(e.getKey()).append('=').append(more);
                total += more;
            }
        }
        System.out.printf("RATIO %s %.3f <= 2.01 module calls per verifyAndSign %s (OpenSC's pkcs11-spy in front), "
                + "%d signatures over %.0f s in bursts of %d with %d pauses of %d ms:%s%n", name,
                total / (double) signatures, what, signatures, seconds, BURST, pauses, PAUSE_MS, byName);
    }

    /**
     * Per round: one thread signs N times alone (wall clock); two threads
     * start together and sign until the first of them has made N, counting
     * the signatures of both by then. The ratio of the two rates; whether one
     * or two threads go first alternates with the rounds; median.
     */
    static void threads(Signer signer, int rounds, int n, String rateProgram, String module, String token,
            String key, String pin) throws Exception {
        // Warm-up, two threads at once: each has its session from then on.
        rate(signer, 2, 50);
        List<Double> ratios = new ArrayList<>();
        List<Double> moduleRatios = new ArrayList<>();
        StringBuilder each = new StringBuilder();
        for (int r = 0; r < rounds; r++) {
            String count = Integer.toString(n);
            double moduleOne = TokenBench.rate(rateProgram, "threads", module, token, pin, key, count, "1")[1];
            double moduleTwo = TokenBench.rate(rateProgram, "threads", module, token, pin, key, count, "2")[1];
            moduleRatios.add(moduleTwo / moduleOne);
            double one;
            double two;
            if (r % 2 == 0) {
                one = rate(signer, 1, n);
                two = rate(signer, 2, n);
            } else {
                two = rate(signer, 2, n);
                one = rate(signer, 1, n);
            }
            ratios.add(two / one);
            each.append(String.format(" %.2f", two / one));
        }
        System.out.printf("two threads / one, per round:%s%n", each);
        System.out.printf("RATIO token_2threads_vs_1 %.3f >= 1.8 two threads signing at once on one token "
                + "(verifyAndSign, signatures per wall-clock second until the first has made %d) / one thread "
                + "alone, median of %d alternating rounds (the module's own C_Sign in threads: %.3f)%n",
                median(ratios), n, rounds, median(moduleRatios));
    }

    /** Signatures per second of wall clock of `threads` threads, until the first has made n. */
    static double rate(Signer signer, int threads, int n) throws Exception {
        AtomicInteger made = new AtomicInteger();
        AtomicBoolean stop = new AtomicBoolean();
        CountDownLatch ready = new CountDownLatch(threads);
        CountDownLatch go = new CountDownLatch(1);
        List<Throwable> failed = Collections.synchronizedList(new ArrayList<>());
        long[] ended = new long[2]; // when the first thread finished, and the signatures made by then
        List<Thread> all = new ArrayList<>();
        for (int t = 0; t < threads; t++) {
            Thread th = new Thread(() -> {
                try {
                    ready.countDown();
                    go.await();
                    for (int i = 0; i < n && !stop.get(); i++) {
                        signer.sign();
                        made.incrementAndGet();
                    }
                    synchronized (ended) {
                        if (!stop.getAndSet(true)) {
                            ended[0] = System.nanoTime();
                            ended[1] = made.get();
                        }
                        ended.notifyAll();
                    }
                } catch (Throwable e) {
                    failed.add(e);
                    synchronized (ended) {
                        stop.set(true);
                        ended.notifyAll();
                    }
                }
            });
            th.start();
            all.add(th);
        }
        ready.await();
        long start = System.nanoTime();
        go.countDown();
        synchronized (ended) {
            while (!stop.get()) {
                ended.wait();
            }
        }
        for (Thread th : all) {
            th.join();
        }
        if (!failed.isEmpty()) {
            throw new IllegalStateException("a signing thread failed", failed.get(0));
        }
        return ended[1] / ((ended[0] - start) / 1e9);
    }

    static double median(List<Double> v) {
        List<Double> s = new ArrayList<>(v);
        Collections.sort(s);
        return s.get(s.size() / 2);
    }
}
