package com.qel.varnel.tool;

import com.qel.varnel.HashAlg;
import com.qel.varnel.KeyRole;
import com.qel.varnel.Records;
import com.qel.varnel.StoreKind;
import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyFactory;
import java.security.MessageDigest;
import java.security.PublicKey;
import java.security.SecureRandom;
import java.security.Signature;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.security.spec.RSAPublicKeySpec;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.List;
import java.util.function.ToIntBiFunction;

/**
 * The library's typical sequence, step by step, each step printed with its
 * result: make a key pair, certify it with a self-signed certificate signed
 * through the library, store the certificate bound to its key, find it again,
 * sign with the key its binding names, and clean up; then the same on a
 * SoftHSM2 token made in the demo's home, reached through the default
 * registration's PKCS#11 provider with a PIN prompt; then a card issued
 * with SoftHSM2's and OpenSC's tools and OpenSSL, registered with the tool,
 * whose certificate `mscapi certs MY` shows bound to the card's key, which
 * `mscapi sign` uses. Runs in a fresh
 * temporary MSCAPI_HOME (a child JVM) unless a home is given, so it never
 * touches the user's own keys and certificates.
 */
final class Demo {

    private final PrintStream out;
    private final String home;
    /** The tool's main class, which the demo runs again in new JVMs. */
    private final String mainClass;
    /** The tool run in this JVM: its output to the stream given, its exit code returned. */
    private final ToIntBiFunction<PrintStream, String[]> inProcess;
    private int failures;

    // State carried from step to step.
    private String provider;
    private String container;
    private PublicKey publicKey;
    private byte[] certificate;
    private Records.CertId certId;
    private Records.Cert listed;
    private Path tokenDir;
    private String tokenContainer;
    private PublicKey tokenKey;

    /** The default registration's PKCS#11 provider (p11-kit's proxy: every module the machine registers). */
    static final String PKCS11_PROVIDER = "PKCS#11 Token RSA Provider";
    static final String TOKEN_LABEL = "mscapi demo";

    Demo(PrintStream out, String home, Class<?> mainClass, ToIntBiFunction<PrintStream, String[]> inProcess) {
        this.out = out;
        this.home = home;
        this.mainClass = mainClass.getName();
        this.inProcess = inProcess;
    }

    int run() throws Exception {
        if (System.getProperty(Trace.DEMO_CHILD) == null) {
            return runInChild();
        }
        out.println("mscapi demo, home " + Admin.describeHome());
        steps();
        out.println(failures == 0 ? "demo: every step held" : "demo: " + failures + " step(s) failed");
        return failures == 0 ? Exit.OK : Exit.FAILED;
    }

    /** Runs the demo again in a child JVM whose MSCAPI_HOME is the given or a new temporary folder. */
    private int runInChild() throws IOException, InterruptedException {
        Path dir = home != null ? Path.of(home) : Files.createTempDirectory("mscapi-demo-");
        try {
            List<String> cmd = toolCommand("demo");
            // The child's own children (the card steps' commands) inherit it.
            cmd.add(1, "-D" + Trace.DEMO_CHILD + "=1");
            ProcessBuilder pb = new ProcessBuilder(cmd).inheritIO();
            pb.environment().put("MSCAPI_HOME", dir.toString());
            // SoftHSM2 keeps the demo's token in the demo's home.
            pb.environment().put("SOFTHSM2_CONF", dir.resolve("softhsm").resolve("softhsm2.conf").toString());
            return pb.start().waitFor();
        } finally {
            if (home == null) {
                deleteTree(dir);
            }
        }
    }

    /** The tool in a new JVM with the same options (library path, -Xcheck:jni when given) as this one. */
    List<String> toolCommand(String... args) {
        List<String> cmd = new ArrayList<>();
        cmd.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        cmd.addAll(java.lang.management.ManagementFactory.getRuntimeMXBean().getInputArguments());
        cmd.add("-cp");
        cmd.add(System.getProperty("java.class.path"));
        cmd.add(mainClass);
        cmd.addAll(Arrays.asList(args));
        return cmd;
    }

    static void deleteTree(Path dir) throws IOException {
        try (var paths = Files.walk(dir)) {
            paths.sorted((a, b) -> b.getNameCount() - a.getNameCount()).forEach(p -> p.toFile().delete());
        }
    }

    interface Step {
        String run() throws Exception;
    }

    void step(String title, Step s) {
        out.print("* " + title + ": ");
        out.flush();
        try {
            out.println(s.run());
        } catch (Exception | Error e) {
            failures++;
            out.println("FAILED: " + e);
        }
    }

    /** Checks a SHA256withRSA signature with the JDK; says what held. */
    static String verifiedByJdk(PublicKey key, byte[] message, byte[] signature) throws Exception {
        Signature verifier = Signature.getInstance("SHA256withRSA");
        verifier.initVerify(key);
        verifier.update(message);
        check(verifier.verify(signature), "the signature does not verify");
        return signature.length + "-byte signature verified";
    }

    static void check(boolean condition, String what) {
        if (!condition) {
            throw new IllegalStateException(what);
        }
    }

    private void steps() {
        step("library version", () -> {
            int v = Native.getDLLVersion();
            return (v >>> 16) + "." + (v & 0xFFFF);
        });
        step("installed RSA providers (default first)", () -> {
            List<String> providers = Native.providers();
            check(!providers.isEmpty(), "no provider is installed");
            provider = providers.get(0);
            return String.join(", ", providers);
        });
        step("32 random bytes from the default provider",
                () -> HexFormat.of().formatHex(Native.generateRandom(null, 32)));
        // Before any call loads the PKCS#11 modules: SoftHSM2 finds its tokens when it starts.
        boolean token = softHsmInstalled();
        if (token) {
            step("make a SoftHSM2 token \"" + TOKEN_LABEL + "\" in the demo's home", this::makeToken);
        }
        step("generate an RSA-2048 key pair in a new container", () -> {
            container = "mscapi-demo-" + HexFormat.of().formatHex(Native.generateRandom(null, 4));
            BigInteger[] ne = Native.generateKeyPair(provider, container, KeyRole.SIGNATURE.code, 2048);
            publicKey = KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(ne[0], ne[1]));
            return Text.quoted(container) + " in \"" + provider + "\", modulus " + ne[0].bitLength() + " bits, exponent "
                    + ne[1];
        });
        step("self-signed certificate signed through the library, checked by the JDK", () -> {
            certificate = selfSignedCertificate("CN=mscapi demo");
            X509Certificate x = (X509Certificate) CertificateFactory.getInstance("X.509")
                    .generateCertificate(new ByteArrayInputStream(certificate));
            x.verify(publicKey);
            return x.getSubjectX500Principal() + ", serial " + x.getSerialNumber().toString(16) + ", "
                    + certificate.length + " bytes, signature verified";
        });
        step("add it to \"MY\" bound to the container, named \"mscapi demo\"", () -> {
            certId = Native.addCertToStore(certificate, provider, container, KeyRole.SIGNATURE.code, "mscapi demo",
                    StoreKind.MY);
            check(certId != null, "the store refused the certificate");
            return "CertId serial " + Records.serial(certId.serial()).toString(16) + ", issuer " + certId.issuer().length
                    + " bytes";
        });
        step("find it with queryCerts", () -> {
            for (Records.Cert c : Native.certs(StoreKind.MY)) {
                if (Arrays.equals(c.serial(), certId.serial()) && Arrays.equals(c.issuer(), certId.issuer())) {
                    listed = c;
                }
            }
            check(listed != null, "the certificate is not listed");
            check(Arrays.equals(listed.encoded(), certificate), "listed bytes differ from the added ones");
            return "\"" + listed.friendlyName() + "\", bound to " + Text.quoted(listed.container()) + " in \""
                    + listed.provider() + "\", key spec " + listed.keySpec();
        });
        step("set its description", () -> {
            byte[] description = "demo certificate".getBytes(StandardCharsets.US_ASCII);
            Native.setFlags(description, certId.serial(), certId.issuer(), StoreKind.MY);
            for (Records.Cert c : Native.certs(StoreKind.MY)) {
                if (Arrays.equals(c.serial(), certId.serial())) {
                    check(Arrays.equals(c.description(), description), "description not stored");
                }
            }
            return "\"demo certificate\", read back";
        });
        step("pick it as mscapi certs MY --expiring 30 --eku clientAuth --subject \"mscapi demo\" --has-key does",
                () -> {
            Listings.CertFilter filter = new Listings.CertFilter();
            filter.expiring = 30;
            filter.eku = "clientAuth";
            filter.subject = "mscapi demo";
            filter.hasKey = true;
            List<Listings.CertView> picked = filter.apply(Listings.certViews(StoreKind.MY), java.time.Instant.now());
            check(picked.size() == 1 && Arrays.equals(picked.get(0).entry().encoded(), certificate),
                    "the filter does not pick the demo certificate alone");
            return "1 certificate, SHA-1 " + Text.sha1(certificate);
        });
        step("its chain, as mscapi chain MY --thumbprint builds it (PKIX, anchors from ROOT)", () -> {
            Chains.Chain chain = Chains.build(Formats.x509(certificate), StoreKind.MY);
            check(chain.verdict.equals("untrusted"), "a self-signed certificate outside ROOT is " + chain.verdict);
            return chain.verdict + ": " + chain.reason;
        });
        step("sign a message with the key the listing names, verified by the JDK", () -> {
            byte[] message = "Hello from mscapi".getBytes(StandardCharsets.UTF_8);
            byte[] hash = MessageDigest.getInstance("SHA-256").digest(message);
            byte[] signature = Native.sign(listed.provider(), listed.container(), listed.keySpec(), hash, HashAlg.SHA_256);
            return verifiedByJdk(publicKey, message, signature);
        });
        step("list key pairs", () -> {
            List<String> lines = new ArrayList<>();
            boolean found = false;
            for (Records.KeyPair k : Native.keyPairs()) {
                lines.add(Text.quoted(k.container()) + " (" + k.provider() + ", spec " + k.keySpec() + ", " + k.bits()
                        + " bits)");
                found |= k.container().equals(container);
            }
            check(found, "the demo key is not listed");
            return String.join("; ", lines);
        });
        step("delete the certificate", () -> {
            Native.deleteCertFromStore(certId.serial(), certId.issuer(), StoreKind.MY);
            return "deleted";
        });
        step("delete the container", () -> {
            Native.deleteKeyPair(provider, container);
            for (Records.KeyPair k : Native.keyPairs()) {
                check(!k.container().equals(container), "the container is still listed");
            }
            return "deleted";
        });
        if (token) {
            tokenSteps();
            cardSteps();
        } else {
            out.println("* token steps: skipped (SoftHSM2's softhsm2-util is not installed)");
        }
    }

    static boolean softHsmInstalled() {
        for (String d : System.getenv().getOrDefault("PATH", "/usr/bin:/bin").split(":")) {
            if (Files.isExecutable(Path.of(d, "softhsm2-util"))) {
                return true;
            }
        }
        return false;
    }

    /** A token store in the home (SOFTHSM2_CONF, set by the parent), a token with random PINs, a PIN prompt. */
    private String makeToken() throws Exception {
        Path conf = Path.of(System.getenv("SOFTHSM2_CONF"));
        tokenDir = conf.getParent();
        Files.createDirectories(tokenDir.resolve("tokens"));
        Files.writeString(conf, "directories.tokendir = " + tokenDir.resolve("tokens") + "\n"
                + "objectstore.backend = file\nlog.level = ERROR\n");
        SecureRandom random = new SecureRandom();
        String pin = String.format("%08d", random.nextInt(100_000_000));
        String soPin = String.format("%08d", random.nextInt(100_000_000));
        Files.writeString(tokenDir.resolve("pin"), pin + "\n");
        Process p = new ProcessBuilder("softhsm2-util", "--init-token", "--free", "--label", TOKEN_LABEL, "--pin", pin,
                "--so-pin", soPin).redirectErrorStream(true).start();
        String said = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
        check(p.waitFor() == 0, "softhsm2-util: " + said);
        // The PIN prompt program (SSH_ASKPASS convention): the prompt as its argument, the PIN on stdout.
        Path prompt = tokenDir.resolve("pin-prompt");
        Files.writeString(prompt, "#!/bin/sh\n# The demo's PIN prompt: answers from the demo's PIN file.\n"
                + "printf '%s\\n' \"$1\" >>'" + tokenDir.resolve("prompts.log") + "'\ncat '" + tokenDir.resolve("pin")
                + "'\n");
        check(prompt.toFile().setExecutable(true, true), "cannot make the PIN prompt executable");
        return "SOFTHSM2_CONF=" + conf + ", user PIN " + pin.length() + " random digits";
    }

    private void tokenSteps() {
        step("give \"" + PKCS11_PROVIDER + "\" the PIN prompt (a .reg file in the home)", () -> {
            Path reg = Path.of(System.getenv("MSCAPI_HOME"), "registry", "50-demo-token.reg");
            Files.writeString(reg, "Windows Registry Editor Version 5.00\n\n"
                    + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\"
                    + PKCS11_PROVIDER + "]\n\"PIN Prompt\"=\"" + tokenDir.resolve("pin-prompt").toString()
                            .replace("\\", "\\\\").replace("\"", "\\\"") + "\"\n");
            return reg.toString();
        });
        step("generate an RSA-2048 key pair on the token (the PIN prompt logs in)", () -> {
            tokenContainer = "\\\\.\\" + TOKEN_LABEL + "\\mscapi-demo-"
                    + HexFormat.of().formatHex(Native.generateRandom(null, 4));
            BigInteger[] ne = Native.generateKeyPair(PKCS11_PROVIDER, tokenContainer, KeyRole.SIGNATURE.code, 2048);
            tokenKey = KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(ne[0], ne[1]));
            Path log = tokenDir.resolve("prompts.log");
            int asked = Files.exists(log) ? Files.readAllLines(log).size() : 0;
            return Text.quoted(tokenContainer) + ", modulus " + ne[0].bitLength() + " bits; PIN prompt run " + asked
                    + " time(s)";
        });
        step("the token key is listed by queryKeyPairs and cannot be exported", () -> {
            boolean found = false;
            for (Records.KeyPair k : Native.keyPairs()) {
                found |= k.provider().equals(PKCS11_PROVIDER) && k.container().equals(tokenContainer);
            }
            check(found, "the token key is not listed");
            try {
                Native.getPrivateKey(PKCS11_PROVIDER, tokenContainer, KeyRole.SIGNATURE.code, null);
            } catch (Exception e) {
                return "listed; export refused: " + e.getMessage();
            }
            throw new IllegalStateException("the token let its generated key out");
        });
        step("sign on the token through verifyAndSign with the PIN, verified by the JDK", () -> {
            byte[] message = "Hello from a token".getBytes(StandardCharsets.UTF_8);
            byte[] hash = MessageDigest.getInstance("SHA-256").digest(message);
            byte[] pin = Files.readAllLines(tokenDir.resolve("pin")).get(0).getBytes(StandardCharsets.US_ASCII);
            byte[] signature;
            try {
                signature = Native.verifyAndSign(PKCS11_PROVIDER, tokenContainer, KeyRole.SIGNATURE.code, hash, HashAlg.SHA_256, pin);
            } finally {
                Arrays.fill(pin, (byte) 0);
            }
            return verifiedByJdk(tokenKey, message, signature);
        });
        step("delete the token's container", () -> {
            Native.deleteKeyPair(PKCS11_PROVIDER, tokenContainer);
            for (Records.KeyPair k : Native.keyPairs()) {
                check(!k.container().equals(tokenContainer), "the container is still listed");
            }
            return "deleted";
        });
    }

    static final String CARD_LABEL = "mscapi demo card";
    static final String CARD_KEY = "Demo signing key";

    /**
     * A card as issuers make one, in the demo's token store: a token, a key
     * pair generated on it with an ID and a label, a certificate for its
     * public key from a CA, written beside it with the same ID and label.
     * Then what its holder does: register the store with the tool, list "MY"
     * (opening it copies the card's certificate in, bound to the card's key)
     * and sign through that binding. The tool's commands run as new
     * processes, as from a shell (SoftHSM2 finds new tokens when it starts).
     */
    private void cardSteps() {
        Path dir = tokenDir.resolve("issuer");
        Path der = dir.resolve("card.der");
        step("issue a card \"" + CARD_LABEL + "\" as an issuer does", () -> {
            Files.createDirectories(dir);
            String pin = String.format("%08d", new SecureRandom().nextInt(100_000_000));
            Files.writeString(dir.resolve("card-pin"), pin + "\n");
            String[] p11 = {"pkcs11-tool", "--module", "/usr/lib/softhsm/libsofthsm2.so", "--token-label", CARD_LABEL,
                "--login", "--pin", pin};
            out.println();
            shell(dir, "softhsm2-util", "--init-token", "--free", "--label", CARD_LABEL, "--pin", pin, "--so-pin",
                    String.format("%08d", new SecureRandom().nextInt(100_000_000)));
            shell(dir, cat(p11, "--keypairgen", "--key-type", "rsa:2048", "--id", "45", "--label", CARD_KEY));
            shell(dir, cat(p11, "--read-object", "--type", "pubkey", "--id", "45", "-o", "pub.der"));
            shell(dir, "openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
                    "ca.pem", "-subj", "/CN=mscapi demo issuing CA", "-days", "30");
            shell(dir, "openssl", "req", "-new", "-key", "ca.key", "-subj", "/CN=mscapi demo card holder", "-out",
                    "card.csr");
            shell(dir, "openssl", "x509", "-req", "-in", "card.csr", "-force_pubkey", "pub.der",
                    "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days", "30", "-outform", "DER", "-out",
                    "card.der");
            shell(dir, cat(p11, "--write-object", "card.der", "--type", "cert", "--id", "45", "--label", CARD_KEY));
            return "  card issued: key pair and certificate with ID 45, label \"" + CARD_KEY + "\"";
        });
        step("register the token store with the tool", () -> {
            out.println();
            out.println("  $ mscapi token register --pin-prompt " + tokenDir.resolve("pin-prompt"));
            ByteArrayOutputStream said = new ByteArrayOutputStream();
            PrintStream to = new PrintStream(said, true, StandardCharsets.UTF_8);
            check(inProcess.applyAsInt(to, new String[] {"token", "register", "--pin-prompt",
                tokenDir.resolve("pin-prompt").toString()}) == Exit.OK, "token register: " + said);
            return indent(said.toString(StandardCharsets.UTF_8)).stripTrailing();
        });
        String container = "\\\\.\\" + CARD_LABEL + "\\" + CARD_KEY;
        step("the card's certificate in \"MY\", bound to the card's key", () -> {
            String listing = tool(dir, "certs", "MY", "--thumbprint", Text.sha1(Files.readAllBytes(der)));
            check(listing.contains(container) && listing.contains("has key:       yes"), "not bound to " + container);
            // Several providers may show the card: the copy is bound to the first registered.
            return listing.contains(PKCS11_PROVIDER + " /")
                    ? "  bound to the card's key through \"" + PKCS11_PROVIDER + "\" (p11-kit's proxy, which the "
                            + "default registration lists first, shows the card as well)"
                    : "  bound to the card's key";
        });
        step("sign through that binding; OpenSSL verifies with the certificate", () -> {
            Files.writeString(dir.resolve("message.txt"), "Signed by the demo card\n");
            tool(dir, "sign", "message.txt", "--thumbprint", Text.sha1(Files.readAllBytes(der)),
                    "--pin-file", "card-pin", "--out", "message.sig");
            shell(dir, "openssl", "x509", "-inform", "DER", "-in", "card.der", "-pubkey", "-noout", "-out",
                    "card-pub.pem");
            return "  " + shell(dir, "openssl", "dgst", "-sha256", "-verify", "card-pub.pem", "-signature",
                    "message.sig", "message.txt").trim();
        });
    }

    static String[] cat(String[] a, String... b) {
        String[] all = Arrays.copyOf(a, a.length + b.length);
        System.arraycopy(b, 0, all, a.length, b.length);
        return all;
    }

    static String indent(String text) {
        return text.isEmpty() ? "" : "    " + text.stripTrailing().replace("\n", "\n    ") + "\n";
    }

    static String quoted(String arg) {
        return arg.matches("[A-Za-z0-9_./:=+,@%-]+") ? arg : "'" + arg.replace("'", "'\\''") + "'";
    }

    /** Runs a program in `dir` and prints its command line; its output, or an exception with it. */
    private String shell(Path dir, String... cmd) throws Exception {
        StringBuilder line = new StringBuilder("  $");
        for (String a : cmd) {
            line.append(' ').append(quoted(a));
        }
        out.println(line);
        Process p = new ProcessBuilder(cmd).directory(dir.toFile()).redirectErrorStream(true).start();
        String said = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        check(p.waitFor() == 0, cmd[0] + " failed: " + said.trim());
        return said;
    }

    /** Runs the tool in `dir` in a new JVM; prints the command and its output. */
    private String tool(Path dir, String... args) throws Exception {
        StringBuilder line = new StringBuilder("\n  $ mscapi");
        for (String a : args) {
            line.append(' ').append(quoted(a));
        }
        out.println(line);
        Process p = new ProcessBuilder(toolCommand(args)).directory(dir.toFile()).redirectErrorStream(true).start();
        String said = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        out.print(indent(said));
        check(p.waitFor() == 0, "mscapi " + args[0] + " failed");
        return said;
    }

    /**
     * A self-signed certificate for the demo key, built by Bouncy Castle; the
     * signature over its to-be-signed part is the library's.
     */
    private byte[] selfSignedCertificate(String subject) throws Exception {
        KeyRef key = new KeyRef(provider, container, KeyRole.SIGNATURE.code, null);
        return CertLife.selfSigned(key, (java.security.interfaces.RSAPublicKey) publicKey,
                CertLife.subject(subject), 30, "sha256", null, org.bouncycastle.asn1.x509.KeyPurposeId.id_kp_clientAuth)
                .getEncoded();
    }
}
