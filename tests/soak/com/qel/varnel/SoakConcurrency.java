package com.qel.varnel;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.lang.management.ManagementFactory;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyFactory;
import java.security.KeyPairGenerator;
import java.security.MessageDigest;
import java.security.Signature;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.RSAPublicKeySpec;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.atomic.AtomicLong;

/**
 * Load test: several JVMs, each with several threads, use one MSCAPI_HOME at once for a fixed
 * number of operations each — signing on shared containers (the token's PIN-protected one through
 * verifyAndSign), generating, importing and deleting containers of their own, racing other threads
 * to create and delete the same names, listing key pairs and certificates, adding, renaming and
 * deleting certificates. Every signature is verified by the JDK. An exception that is not the
 * outcome the operation allows (a container another thread made first, or deleted first) is a
 * spurious failure.
 *
 * <pre>
 *   SoakConcurrency driver JVMS THREADS OPS   runs JVMS child JVMs of THREADS threads, OPS
 *                                             operations each, on the home of $MSCAPI_HOME
 *   SoakConcurrency worker ID THREADS OPS     one child (started by the driver)
 * </pre>
 *
 * The driver sets up the shared containers, starts the children with its own JVM options
 * (-Xcheck:jni included), forwards their output, checks the shared containers again afterwards,
 * prints the totals and exits non-zero on any spurious failure.
 */
public final class SoakConcurrency {
    static final String STRONG = "Microsoft Strong Cryptographic Provider";
    static final String TOKEN = "Soft Token RSA Provider";
    static final int AT_KEYEXCHANGE = 1;
    static final int AT_SIGNATURE = 2;
    static final int CALG_SHA_256 = 0x800C;
    static final int MY = 1;
    static final String GEN_FAILED = "Failed to generate key pair!";
    static final String NOT_FOUND = "Key container not found!";

    /** The containers every thread of every JVM signs with. */
    static final String SHARED_KX = "soak-shared-kx";
    static final String SHARED_SIG = "soak-shared-sig";
    static final String SHARED_PIN = "soak-shared-pin";
    static final byte[] PIN = "pin-1234".getBytes(StandardCharsets.US_ASCII);
    /** Names every thread creates and deletes at random: the races are the point. */
    static final int RACE_NAMES = 4;

    private SoakConcurrency() {
    }

    // ------------------------------------------------------------- helpers ----

    /** PublicKeyBytes: exponent 4 bytes little-endian, then the modulus big-endian. */
    static RSAPublicKey publicKey(byte[] b) throws Exception {
        long e = (b[0] & 0xFFL) | (b[1] & 0xFFL) << 8 | (b[2] & 0xFFL) << 16 | (b[3] & 0xFFL) << 24;
        return publicKey(new BigInteger(1, Arrays.copyOfRange(b, 4, b.length)), BigInteger.valueOf(e));
    }

    static RSAPublicKey publicKey(BigInteger n, BigInteger e) throws Exception {
        return (RSAPublicKey) KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(n, e));
    }

    /** A JDK key whose components each fill at least their field, as the import requires. */
    static RSAPrivateCrtKey jdkKey(int bits) throws Exception {
        KeyPairGenerator g = KeyPairGenerator.getInstance("RSA");
        g.initialize(bits);
        int n = bits / 8;
        int h = n / 2;
        while (true) {
            RSAPrivateCrtKey k = (RSAPrivateCrtKey) g.generateKeyPair().getPrivate();
            if (k.getPrivateExponent().toByteArray().length >= n && k.getPrimeP().toByteArray().length >= h
                    && k.getPrimeQ().toByteArray().length >= h && k.getPrimeExponentP().toByteArray().length >= h
                    && k.getPrimeExponentQ().toByteArray().length >= h
                    && k.getCrtCoefficient().toByteArray().length >= h) {
                return k;
            }
        }
    }

    static void importKey(String provider, String container, int spec, RSAPrivateCrtKey k, int bits,
            byte[] password) {
        MSCAPI.importKeyPairPwd(provider, container, spec, k.getModulus().toByteArray(), bits,
                k.getPublicExponent().intValueExact(), k.getPrivateExponent().toByteArray(),
                k.getPrimeP().toByteArray(), k.getPrimeQ().toByteArray(), k.getPrimeExponentP().toByteArray(),
                k.getPrimeExponentQ().toByteArray(), k.getCrtCoefficient().toByteArray(), password);
    }

    static RSAPublicKey publicOf(RSAPrivateCrtKey k) throws Exception {
        return publicKey(k.getModulus(), k.getPublicExponent());
    }

    /** A failure of the operation's own checks (not an exception the library raised). */
    static final class Wrong extends Exception {
        Wrong(String message) {
            super(message);
        }
    }

    static byte[] sha256(byte[] data) throws Exception {
        return MessageDigest.getInstance("SHA-256").digest(data);
    }

    /**
     * KeyPairList as "family/container/spec" to the modulus ("ms" for the "Microsoft …" providers,
     * which share one namespace and are listed under one of their names; "token"), checking the
     * layout on the way.
     */
    static Map<String, BigInteger> keyPairs() throws Wrong {
        byte[] list = MSCAPI.queryKeyPairs();
        Map<String, BigInteger> out = new HashMap<>();
        List<Layouts.KeyPair> recs;
        try {
            recs = Layouts.keyPairs(list);
        } catch (RuntimeException e) {
            throw new Wrong("KeyPairList of " + list.length + " bytes does not parse: " + e);
        }
        for (Layouts.KeyPair k : recs) {
            if (k.exponent() != 65537 || (k.keySpec() != 1 && k.keySpec() != 2)) {
                throw new Wrong("KeyPairList record " + k.container() + ": spec " + k.keySpec() + ", exponent "
                        + k.exponent());
            }
            String family = k.provider().startsWith("Microsoft ") ? "ms"
                    : k.provider().equals(TOKEN) ? "token" : k.provider();
            out.put(family + "/" + k.container() + "/" + k.keySpec(), new BigInteger(1, k.modulus()));
        }
        return out;
    }

    /** CertList: the number of records, checking the layout on the way. */
    static int certCount() throws Wrong {
        byte[] list = MSCAPI.queryCerts(MY);
        try {
            List<Layouts.Cert> certs = Layouts.certs(list);
            for (Layouts.Cert c : certs) {
                Certs.x509(c.encoded);
            }
            return certs.size();
        } catch (Exception e) {
            throw new Wrong("CertList of " + list.length + " bytes does not parse: " + e);
        }
    }

    /** The shared keys' public halves, as the setup wrote them. */
    static Map<String, RSAPublicKey> readShared(Path file) throws Exception {
        Map<String, RSAPublicKey> out = new HashMap<>();
        for (String line : Files.readAllLines(file)) {
            String[] w = line.split(" ");
            out.put(w[0], publicKey(new BigInteger(w[1], 16), new BigInteger(w[2], 16)));
        }
        return out;
    }

    static Path sharedFile() {
        String home = System.getenv("MSCAPI_HOME");
        if (home == null || home.isEmpty()) {
            throw new IllegalStateException("run with a fresh MSCAPI_HOME of its own");
        }
        return Path.of(home, "soak-shared-keys.txt");
    }

    // -------------------------------------------------------------- worker ----

    static final class Counters {
        final AtomicLong operations = new AtomicLong();
        final AtomicLong spurious = new AtomicLong();
        final AtomicLong verified = new AtomicLong();
        final AtomicLong expected = new AtomicLong();
        final Map<String, AtomicLong> byOp = new java.util.concurrent.ConcurrentHashMap<>();
    }

    static final class Worker implements Runnable {
        final int jvm;
        final int thread;
        final int ops;
        final Map<String, RSAPublicKey> shared;
        final Counters c;
        int seq;
        final List<byte[][]> myCerts = new ArrayList<>(); // serial, issuer

        Worker(int jvm, int thread, int ops, Map<String, RSAPublicKey> shared, Counters c) {
            this.jvm = jvm;
            this.thread = thread;
            this.ops = ops;
            this.shared = shared;
            this.c = c;
        }

        String mine() {
            return "soak-j" + jvm + "-t" + thread + "-" + (++seq);
        }

        void signAndVerify(String provider, String container, int spec, RSAPublicKey key, byte[] password)
                throws Exception {
            byte[] data = new byte[16 + ThreadLocalRandom.current().nextInt(64)];
            ThreadLocalRandom.current().nextBytes(data);
            byte[] h = sha256(data);
            byte[] sig = password == null
                    ? MSCAPI.sign(provider, container, spec, h, h.length, CALG_SHA_256)
                    : MSCAPI.verifyAndSign(provider, container, spec, h, h.length, CALG_SHA_256, password);
            Signature v = Signature.getInstance("SHA256withRSA");
            v.initVerify(key);
            v.update(data);
            if (!v.verify(sig)) {
                throw new Wrong("signature by " + provider + "/" + container + "/" + spec + " does not verify");
            }
            c.verified.incrementAndGet();
        }

        @Override
        public void run() {
            for (int i = 0; i < ops; i++) {
                int r = ThreadLocalRandom.current().nextInt(100);
                String op = r < 18 ? "sign" : r < 28 ? "verifyAndSign" : r < 40 ? "generate/sign/delete"
                        : r < 50 ? "race" : r < 58 ? "import/sign/delete" : r < 61 ? "importPwd/verifyAndSign"
                        : r < 69 ? "queryKeyPairs" : r < 77 ? "queryCerts" : r < 92 ? "addCertToStore"
                        : r < 96 ? "setFriendlyName" : "deleteCertFromStore";
                c.operations.incrementAndGet();
                c.byOp.computeIfAbsent(op, k -> new AtomicLong()).incrementAndGet();
                try {
                    step(op);
                } catch (Throwable e) {
                    long n = c.spurious.incrementAndGet();
                    if (n <= 20) {
                        System.out.println("spurious failure in " + op + " (jvm " + jvm + ", thread " + thread
                                + "): " + e);
                        if (!(e instanceof Wrong) && n <= 5) {
                            e.printStackTrace(System.out);
                        }
                    }
                }
            }
        }

        void step(String op) throws Exception {
            ThreadLocalRandom rnd = ThreadLocalRandom.current();
            switch (op) {
                case "sign": {
                    boolean kx = rnd.nextBoolean();
                    signAndVerify(STRONG, kx ? SHARED_KX : SHARED_SIG, kx ? AT_KEYEXCHANGE : AT_SIGNATURE,
                            shared.get(kx ? SHARED_KX : SHARED_SIG), null);
                    break;
                }
                case "verifyAndSign":
                    signAndVerify(TOKEN, SHARED_PIN, AT_SIGNATURE, shared.get(SHARED_PIN), PIN);
                    break;
                case "generate/sign/delete": {
                    String name = mine();
                    String provider = rnd.nextBoolean() ? STRONG : TOKEN;
                    int spec = rnd.nextBoolean() ? AT_KEYEXCHANGE : AT_SIGNATURE;
                    RSAPublicKey key = publicKey(MSCAPI.generateKeyPair(provider, name, spec, 512));
                    signAndVerify(provider, name, spec, key, null);
                    MSCAPI.deleteKeyPair(provider, name);
                    break;
                }
                case "race": {
                    // Another thread may have made the name first, or deleted it first.
                    String name = "soak-race-" + rnd.nextInt(RACE_NAMES);
                    try {
                        if (rnd.nextBoolean()) {
                            publicKey(MSCAPI.generateKeyPair(STRONG, name, AT_SIGNATURE, 512));
                        } else {
                            MSCAPI.deleteKeyPair(STRONG, name);
                        }
                    } catch (Exception e) {
                        if (e.getClass() != Exception.class
                                || !(GEN_FAILED.equals(e.getMessage()) || NOT_FOUND.equals(e.getMessage()))) {
                            throw e;
                        }
                        c.expected.incrementAndGet();
                    }
                    break;
                }
                case "import/sign/delete": {
                    String name = mine();
                    RSAPrivateCrtKey k = jdkKey(512);
                    int spec = rnd.nextBoolean() ? AT_KEYEXCHANGE : AT_SIGNATURE;
                    importKey(STRONG, name, spec, k, 512, null);
                    signAndVerify(STRONG, name, spec, publicOf(k), null);
                    byte[] exported = MSCAPI.getPrivateKey(STRONG, name, spec, null);
                    if (!new BigInteger(1, Arrays.copyOfRange(exported, 0, 64)).equals(k.getModulus())) {
                        throw new Wrong("getPrivateKey of " + name + " gives another modulus");
                    }
                    MSCAPI.deleteKeyPair(STRONG, name);
                    break;
                }
                case "importPwd/verifyAndSign": {
                    String name = mine();
                    RSAPrivateCrtKey k = jdkKey(512);
                    byte[] pin = ("p" + name).getBytes(StandardCharsets.US_ASCII);
                    importKey(TOKEN, name, AT_SIGNATURE, k, 512, pin);
                    signAndVerify(TOKEN, name, AT_SIGNATURE, publicOf(k), pin);
                    MSCAPI.deleteKeyPair(TOKEN, name);
                    break;
                }
                case "queryKeyPairs": {
                    Map<String, BigInteger> pairs = keyPairs();
                    for (String[] s : new String[][] {{"ms", SHARED_KX, "1"}, {"ms", SHARED_SIG, "2"},
                            {"token", SHARED_PIN, "2"}}) {
                        BigInteger n = pairs.get(s[0] + "/" + s[1] + "/" + s[2]);
                        if (n == null || !n.equals(shared.get(s[1]).getModulus())) {
                            throw new Wrong("queryKeyPairs lists " + s[1] + " with modulus " + n);
                        }
                    }
                    break;
                }
                case "queryCerts":
                    certCount();
                    break;
                case "addCertToStore": {
                    String name = mine();
                    byte[] der = Certs.make(new BigInteger(63, rnd), "CN=" + name + " issuer, O=Soak", "CN=" + name);
                    boolean bound = rnd.nextBoolean();
                    byte[] id = MSCAPI.addCertToStore(der, STRONG, bound ? SHARED_KX : name, AT_KEYEXCHANGE,
                            "friendly " + name, MY);
                    if (id == null) {
                        throw new Wrong("addCertToStore gave null for a new certificate");
                    }
                    Certs.Id got;
                    try {
                        got = Layouts.certId(id);
                    } catch (IllegalArgumentException e) {
                        throw new Wrong("CertId of " + name + " does not parse: " + e.getMessage());
                    }
                    Certs.Id expect = Certs.Id.of(der);
                    if (!Arrays.equals(got.serial, expect.serial) || !Arrays.equals(got.issuer, expect.issuer)) {
                        throw new Wrong("CertId of " + name + " is not its serial number and issuer");
                    }
                    myCerts.add(new byte[][] {got.serial, got.issuer});
                    break;
                }
                case "setFriendlyName": {
                    if (myCerts.isEmpty()) {
                        step("addCertToStore");
                        break;
                    }
                    byte[][] cert = myCerts.get(rnd.nextInt(myCerts.size()));
                    MSCAPI.setFriendlyName("renamed " + rnd.nextInt(1000), cert[0], cert[1], MY);
                    break;
                }
                default: {
                    if (myCerts.isEmpty()) {
                        step("addCertToStore");
                        break;
                    }
                    byte[][] cert = myCerts.remove(rnd.nextInt(myCerts.size()));
                    MSCAPI.deleteCertFromStore(cert[0], cert[1], MY);
                    break;
                }
            }
        }
    }

    static int worker(int jvm, int threads, int ops) throws Exception {
        Map<String, RSAPublicKey> shared = readShared(sharedFile());
        Counters c = new Counters();
        List<Thread> all = new ArrayList<>();
        for (int t = 0; t < threads; t++) {
            // Spread OPS over the threads; the first ones take the remainder.
            int mine = ops / threads + (t < ops % threads ? 1 : 0);
            Thread th = new Thread(new Worker(jvm, t, mine, shared, c), "soak-" + t);
            all.add(th);
            th.start();
        }
        for (Thread th : all) {
            th.join();
        }
        System.out.println("jvm " + jvm + " ops " + new java.util.TreeMap<>(c.byOp));
        System.out.println("result " + c.operations.get() + " " + c.spurious.get() + " " + c.verified.get() + " "
                + c.expected.get());
        return c.spurious.get() == 0 ? 0 : 1;
    }

    // -------------------------------------------------------------- driver ----

    static void setup() throws Exception {
        StringBuilder s = new StringBuilder();
        RSAPublicKey kx = publicKey(MSCAPI.generateKeyPair(STRONG, SHARED_KX, AT_KEYEXCHANGE, 1024));
        RSAPrivateCrtKey sig = jdkKey(1024);
        importKey(STRONG, SHARED_SIG, AT_SIGNATURE, sig, 1024, null);
        RSAPrivateCrtKey pin = jdkKey(1024);
        importKey(TOKEN, SHARED_PIN, AT_SIGNATURE, pin, 1024, PIN);
        for (Object[] k : new Object[][] {{SHARED_KX, kx}, {SHARED_SIG, publicOf(sig)}, {SHARED_PIN, publicOf(pin)}}) {
            RSAPublicKey p = (RSAPublicKey) k[1];
            s.append(k[0]).append(' ').append(p.getModulus().toString(16)).append(' ')
                    .append(p.getPublicExponent().toString(16)).append('\n');
        }
        Files.writeString(sharedFile(), s.toString());
    }

    static int driver(int jvms, int threads, int ops) throws Exception {
        long start = System.nanoTime();
        setup();
        String java = ProcessHandle.current().info().command().orElseThrow();
        List<String> jvmOptions = ManagementFactory.getRuntimeMXBean().getInputArguments();
        List<Process> children = new ArrayList<>();
        List<Thread> readers = new ArrayList<>();
        long[][] results = new long[jvms][];
        for (int j = 0; j < jvms; j++) {
            List<String> cmd = new ArrayList<>();
            cmd.add(java);
            cmd.addAll(jvmOptions);
            cmd.add("-cp");
            cmd.add(System.getProperty("java.class.path"));
            cmd.add(SoakConcurrency.class.getName());
            cmd.addAll(List.of("worker", Integer.toString(j), Integer.toString(threads), Integer.toString(ops)));
            Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
            children.add(p);
            final int id = j;
            Thread reader = new Thread(() -> {
                try (BufferedReader in = new BufferedReader(new InputStreamReader(p.getInputStream()))) {
                    for (String line; (line = in.readLine()) != null;) {
                        if (line.startsWith("result ")) {
                            results[id] = Arrays.stream(line.substring(7).split(" ")).mapToLong(Long::parseLong)
                                    .toArray();
                        }
                        synchronized (System.out) {
                            System.out.println("[jvm " + id + "] " + line);
                        }
                    }
                } catch (Exception e) {
                    System.out.println("[jvm " + id + "] output lost: " + e);
                }
            });
            reader.start();
            readers.add(reader);
        }
        long operations = 0;
        long spurious = 0;
        long verified = 0;
        long expected = 0;
        for (int j = 0; j < jvms; j++) {
            int code = children.get(j).waitFor();
            readers.get(j).join();
            if (results[j] == null) {
                System.out.println("jvm " + j + " ended with " + code + " and no result");
                spurious++;
                continue;
            }
            operations += results[j][0];
            spurious += results[j][1];
            verified += results[j][2];
            expected += results[j][3];
            if (code != 0 && results[j][1] == 0) {
                System.out.println("jvm " + j + " ended with " + code);
                spurious++;
            }
        }
        // Afterwards the shared keys still sign, and are listed with their moduli.
        Counters c = new Counters();
        Worker check = new Worker(jvms, 0, 0, readShared(sharedFile()), c);
        for (String op : new String[] {"sign", "sign", "verifyAndSign", "queryKeyPairs", "queryCerts"}) {
            try {
                check.step(op);
            } catch (Exception e) {
                System.out.println("after the run, " + op + " fails: " + e);
                spurious++;
            }
        }
        double seconds = (System.nanoTime() - start) / 1e9;
        System.out.printf("concurrency: %d JVMs x %d threads, operations %d, spurious failures %d, "
                + "signatures verified by the JDK %d, expected race outcomes %d, time %.1f s%n", jvms, threads,
                operations, spurious, verified + c.verified.get(), expected, seconds);
        return spurious == 0 && operations == (long) jvms * ops ? 0 : 1;
    }

    public static void main(String[] args) throws Exception {
        int code;
        if (args.length == 4 && args[0].equals("driver")) {
            code = driver(Integer.parseInt(args[1]), Integer.parseInt(args[2]), Integer.parseInt(args[3]));
        } else if (args.length == 4 && args[0].equals("worker")) {
            code = worker(Integer.parseInt(args[1]), Integer.parseInt(args[2]), Integer.parseInt(args[3]));
        } else {
            System.err.println("usage: SoakConcurrency driver JVMS THREADS OPS | worker ID THREADS OPS");
            code = 2;
        }
        System.exit(code);
    }
}
