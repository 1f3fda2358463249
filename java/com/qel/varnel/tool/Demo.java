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
 * sign with the key its binding names, and clean up. Runs in a fresh
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
        step("generate an RSA-2048 key pair in a new container", () -> {
            container = "mscapi-demo-" + HexFormat.of().formatHex(Native.generateRandom(null, 4));
            byte[] pub = Native.generateKeyPair(provider, container, AT_SIGNATURE, 2048);
            BigInteger[] ne = Layouts.publicKey(pub);
            publicKey = KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(ne[0], ne[1]));
            return "\"" + container + "\" in \"" + provider + "\", modulus " + ne[0].bitLength() + " bits, exponent "
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
            return "\"" + listed.friendlyName() + "\", bound to \"" + listed.container() + "\" in \""
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
        step("sign a message with the key the listing names, verified by the JDK", () -> {
            byte[] message = "Hello from mscapi".getBytes(StandardCharsets.UTF_8);
            byte[] hash = MessageDigest.getInstance("SHA-256").digest(message);
            byte[] signature = Native.sign(listed.provider(), listed.container(), listed.keySpec(), hash, CALG_SHA_256);
            Signature verifier = Signature.getInstance("SHA256withRSA");
            verifier.initVerify(publicKey);
            verifier.update(message);
            check(verifier.verify(signature), "the signature does not verify");
            return signature.length + "-byte signature verified";
        });
        step("list key pairs", () -> {
            List<String> lines = new ArrayList<>();
            boolean found = false;
            for (Layouts.KeyPair k : Layouts.keyPairs(Native.queryKeyPairs())) {
                lines.add("\"" + k.container() + "\" (" + k.provider() + ", spec " + k.keySpec() + ", " + k.bits()
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
    }

    /**
     * A self-signed certificate for the demo key, built by Bouncy Castle; the
     * signature over its to-be-signed part is the library's.
     */
    private byte[] selfSignedCertificate(String subject) throws Exception {
        KeyRef key = new KeyRef(provider, container, AT_SIGNATURE, null);
        return CertLife.selfSigned(key, (java.security.interfaces.RSAPublicKey) publicKey,
                CertLife.subject(subject), 365, "sha256", null).getEncoded();
    }
}
