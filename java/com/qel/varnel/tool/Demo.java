package com.qel.varnel.tool;

import java.io.ByteArrayInputStream;
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

/**
 * The library's typical sequence, step by step, each step printed with its
 * result: make a key pair, certify it with a self-signed certificate signed
 * through the library, store the certificate bound to its key, find it again,
 * sign with the key its binding names, and clean up; then the same on a
 * SoftHSM2 token made in the demo's home, reached through the default
 * registration's PKCS#11 provider with a PIN prompt. Runs in a fresh
 * temporary MSCAPI_HOME (a child JVM) unless a home is given, so it never
 * touches the user's own keys and certificates.
 */
final class Demo {
    static final int AT_SIGNATURE = 2;
    static final int CALG_SHA_256 = 0x800C;
    static final int STORE_MY = 1;

    private final PrintStream out;
    private final String home;
    private int failures;

    // State carried from step to step.
    private String provider;
    private String container;
    private PublicKey publicKey;
    private byte[] certificate;
    private Layouts.CertId certId;
    private Layouts.Cert listed;
    private Path tokenDir;
    private String tokenContainer;
    private PublicKey tokenKey;

    /** The default registration's PKCS#11 provider (p11-kit's proxy: every module the machine registers). */
    static final String PKCS11_PROVIDER = "PKCS#11 Token RSA Provider";
    static final String TOKEN_LABEL = "mscapi demo";

    Demo(PrintStream out, String home) {
        this.out = out;
        this.home = home;
    }

    int run() throws Exception {
        if (System.getenv("MSCAPI_DEMO_CHILD") == null) {
            return runInChild();
        }
        out.println("mscapi demo, home " + Main.describeHome());
        steps();
        out.println(failures == 0 ? "demo: every step held" : "demo: " + failures + " step(s) failed");
        return failures == 0 ? Main.OK : Main.FAILED;
    }

    /** Runs the demo again in a child JVM whose MSCAPI_HOME is the given or a new temporary folder. */
    private int runInChild() throws IOException, InterruptedException {
        Path dir = home != null ? Path.of(home) : Files.createTempDirectory("mscapi-demo-");
        try {
            List<String> cmd = new ArrayList<>();
            cmd.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
            // The same JVM options (library path, -Xcheck:jni when given) as this one.
            cmd.addAll(java.lang.management.ManagementFactory.getRuntimeMXBean().getInputArguments());
            cmd.add("-cp");
            cmd.add(System.getProperty("java.class.path"));
            cmd.add(Main.class.getName());
            cmd.add("demo");
            ProcessBuilder pb = new ProcessBuilder(cmd).inheritIO();
            pb.environment().put("MSCAPI_HOME", dir.toString());
            pb.environment().put("MSCAPI_DEMO_CHILD", "1");
            // SoftHSM2 keeps the demo's token in the demo's home.
            pb.environment().put("SOFTHSM2_CONF", dir.resolve("softhsm").resolve("softhsm2.conf").toString());
            return pb.start().waitFor();
        } finally {
            if (home == null) {
                deleteTree(dir);
            }
        }
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
            List<String> providers = Layouts.providers(Native.queryProviders());
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
            byte[] pub = Native.generateKeyPair(provider, container, AT_SIGNATURE, 2048);
            BigInteger[] ne = Layouts.publicKey(pub);
            publicKey = KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(ne[0], ne[1]));
            return Listings.quoted(container) + " in \"" + provider + "\", modulus " + ne[0].bitLength() + " bits, exponent "
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
            byte[] id = Native.addCertToStore(certificate, provider, container, AT_SIGNATURE, "mscapi demo", STORE_MY);
            check(id != null, "the store refused the certificate");
            certId = Layouts.certId(id);
            return "CertId serial " + Layouts.serialHex(certId.serial()) + ", issuer " + certId.issuer().length
                    + " bytes";
        });
        step("find it with queryCerts", () -> {
            for (Layouts.Cert c : Layouts.certs(Native.queryCerts(STORE_MY))) {
                if (Arrays.equals(c.serial(), certId.serial()) && Arrays.equals(c.issuer(), certId.issuer())) {
                    listed = c;
                }
            }
            check(listed != null, "the certificate is not listed");
            check(Arrays.equals(listed.encoded(), certificate), "listed bytes differ from the added ones");
            return "\"" + listed.friendlyName() + "\", bound to " + Listings.quoted(listed.container()) + " in \""
                    + listed.provider() + "\", key spec " + listed.keySpec();
        });
        step("set its description", () -> {
            byte[] description = "demo certificate".getBytes(StandardCharsets.US_ASCII);
            Native.setFlags(description, certId.serial(), certId.issuer(), STORE_MY);
            for (Layouts.Cert c : Layouts.certs(Native.queryCerts(STORE_MY))) {
                if (Arrays.equals(c.serial(), certId.serial())) {
                    check(Arrays.equals(c.description(), description), "description not stored");
                }
            }
            return "\"demo certificate\", read back";
        });
        step("pick it as mscapi certs MY --eku clientAuth --subject \"mscapi demo\" --has-key does", () -> {
            Listings.CertFilter filter = new Listings.CertFilter();
            filter.eku = "clientAuth";
            filter.subject = "mscapi demo";
            filter.hasKey = true;
            List<Listings.CertView> picked = filter.apply(Listings.certViews(STORE_MY), java.time.Instant.now());
            check(picked.size() == 1 && Arrays.equals(picked.get(0).entry().encoded(), certificate),
                    "the filter does not pick the demo certificate alone");
            return "1 certificate, SHA-1 " + CertCommands.sha1(certificate);
        });
        step("its chain, as mscapi chain MY --thumbprint builds it (PKIX, anchors from ROOT)", () -> {
            Chains.Chain chain = Chains.build(Listings.x509(certificate), STORE_MY);
            check(chain.verdict.equals("untrusted"), "a self-signed certificate outside ROOT is " + chain.verdict);
            return chain.verdict + ": " + chain.reason;
        });
        step("sign a message with the key the listing names, verified by the JDK", () -> {
            byte[] message = "Hello from mscapi".getBytes(StandardCharsets.UTF_8);
            byte[] hash = MessageDigest.getInstance("SHA-256").digest(message);
            byte[] signature = Native.sign(listed.provider(), listed.container(), listed.keySpec(), hash, CALG_SHA_256);
            return verifiedByJdk(publicKey, message, signature);
        });
        step("list key pairs", () -> {
            List<String> lines = new ArrayList<>();
            boolean found = false;
            for (Layouts.KeyPair k : Layouts.keyPairs(Native.queryKeyPairs())) {
                lines.add(Listings.quoted(k.container()) + " (" + k.provider() + ", spec " + k.keySpec() + ", " + k.bits()
                        + " bits)");
                found |= k.container().equals(container);
            }
            check(found, "the demo key is not listed");
            return String.join("; ", lines);
        });
        step("delete the certificate", () -> {
            Native.deleteCertFromStore(certId.serial(), certId.issuer(), STORE_MY);
            return "deleted";
        });
        step("delete the container", () -> {
            Native.deleteKeyPair(provider, container);
            for (Layouts.KeyPair k : Layouts.keyPairs(Native.queryKeyPairs())) {
                check(!k.container().equals(container), "the container is still listed");
            }
            return "deleted";
        });
        if (token) {
            tokenSteps();
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
            byte[] pub = Native.generateKeyPair(PKCS11_PROVIDER, tokenContainer, AT_SIGNATURE, 2048);
            BigInteger[] ne = Layouts.publicKey(pub);
            tokenKey = KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(ne[0], ne[1]));
            Path log = tokenDir.resolve("prompts.log");
            int asked = Files.exists(log) ? Files.readAllLines(log).size() : 0;
            return Listings.quoted(tokenContainer) + ", modulus " + ne[0].bitLength() + " bits; PIN prompt run " + asked
                    + " time(s)";
        });
        step("the token key is listed by queryKeyPairs and cannot be exported", () -> {
            boolean found = false;
            for (Layouts.KeyPair k : Layouts.keyPairs(Native.queryKeyPairs())) {
                found |= k.provider().equals(PKCS11_PROVIDER) && k.container().equals(tokenContainer);
            }
            check(found, "the token key is not listed");
            try {
                Native.getPrivateKey(PKCS11_PROVIDER, tokenContainer, AT_SIGNATURE, null);
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
                signature = Native.verifyAndSign(PKCS11_PROVIDER, tokenContainer, AT_SIGNATURE, hash, CALG_SHA_256, pin);
            } finally {
                Arrays.fill(pin, (byte) 0);
            }
            return verifiedByJdk(tokenKey, message, signature);
        });
        step("delete the token's container", () -> {
            Native.deleteKeyPair(PKCS11_PROVIDER, tokenContainer);
            for (Layouts.KeyPair k : Layouts.keyPairs(Native.queryKeyPairs())) {
                check(!k.container().equals(tokenContainer), "the container is still listed");
            }
            return "deleted";
        });
    }

    /**
     * A self-signed certificate for the demo key, built by Bouncy Castle; the
     * signature over its to-be-signed part is the library's.
     */
    private byte[] selfSignedCertificate(String subject) throws Exception {
        KeyRef key = new KeyRef(provider, container, AT_SIGNATURE, null);
        return CertLife.selfSigned(key, (java.security.interfaces.RSAPublicKey) publicKey,
                CertLife.subject(subject), 365, "sha256", null, org.bouncycastle.asn1.x509.KeyPurposeId.id_kp_clientAuth)
                .getEncoded();
    }
}
