package com.qel.varnel.tool;

import java.io.IOException;
import java.io.InputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.security.PublicKey;
import java.security.Signature;
import java.util.HexFormat;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/**
 * sign and verify over a file of any size in fixed memory: the file is read
 * through one buffer into a MessageDigest (sign) or a Signature (verify);
 * the library signs the hash. Files over 64 MB show a progress bar on stderr
 * when the tool runs on a terminal.
 */
final class StreamSign {
    static final long PROGRESS_FROM = 64L << 20;
    private static final int BUFFER = 1 << 16;

    private StreamSign() {
    }

    /** Feeds the file's bytes, chunk by chunk, to a hash or a verifier. */
    interface Sink {
        void update(byte[] b, int off, int len) throws Exception;
    }

    static void stream(String file, String verb, Sink sink) throws Exception {
        Path path = Path.of(file);
        try (InputStream in = Files.newInputStream(path)) {
            long size = Files.size(path);
            Progress progress = size > PROGRESS_FROM && System.console() != null
                    ? new Progress(System.err, verb + " " + path.getFileName(), size) : null;
            byte[] buffer = new byte[BUFFER];
            long done = 0;
            for (int n; (n = in.read(buffer)) > 0;) {
                sink.update(buffer, 0, n);
                done += n;
                if (progress != null) {
                    progress.at(done);
                }
            }
            if (progress != null) {
                progress.finish();
            }
        } catch (NoSuchFileException e) {
            throw new ToolError("file not found: " + file);
        } catch (AccessDeniedException e) {
            throw new ToolError("cannot read " + file + ": permission denied");
        } catch (IOException e) {
            throw new ToolError("cannot read " + file + ": " + e.getMessage());
        }
    }

    /** A one-line bar, redrawn on each whole percent. */
    static final class Progress {
        private final PrintStream to;
        private final String label;
        private final long total;
        private int shown = -1;

        Progress(PrintStream to, String label, long total) {
            this.to = to;
            this.label = label;
            this.total = total;
        }

        void at(long done) {
            int percent = (int) (done * 100 / total);
            if (percent == shown) {
                return;
            }
            shown = percent;
            int width = 30;
            int filled = percent * width / 100;
            to.print("\r" + label + " [" + "#".repeat(filled) + " ".repeat(width - filled) + "] " + percent + "% "
                    + (done >> 20) + "/" + (total >> 20) + " MB");
            to.flush();
        }

        void finish() {
            at(total);
            to.println();
        }
    }

    @Command(name = "sign", header = "a PKCS#1 v1.5 signature of FILE, as hex or raw into --out",
            customSynopsis = {"mscapi sign FILE (--container NAME [--provider P] [--spec S] | --thumbprint HEX)",
                "           [--hash sha256|sha1|md5|sha384|sha512] [--pin | --pin-file F] [--out FILE] [--strict]"},
            description = "FILE is read as a stream (any size, fixed memory). --thumbprint names the key by a "
                    + "certificate of MY bound to it, and signs only while its container holds the certificate's key; "
                    + "a certificate that is expired, not yet valid or not for "
                    + "signatures (key usage) is a warning on stderr, an error with --strict (exit code 4). The raw signature verifies with openssl dgst -sha256 -verify "
                    + "PUB -signature SIG FILE. " + KeyCommands.PIN_TEXT)
    static final class Sign extends Cmd {
        @Parameters(index = "0", paramLabel = "FILE", description = "The file to sign.")
        String file;

        @Mixin
        Options.KeyChoice key = new Options.KeyChoice();

        @Mixin
        Options.Hash hash = new Options.Hash();

        @Mixin
        Options.Pin pin = new Options.Pin();

        @Option(names = "--out", paramLabel = "FILE", description = "Write the raw signature into FILE.")
        String outFile;

        @Option(names = "--strict", description = "Refuse (exit code 4) a --thumbprint certificate that is "
                + "expired, not yet valid, or whose key usage lacks digitalSignature and nonRepudiation; "
                + "without it these are warnings.")
        boolean strict;

        @Override
        public Integer call() throws Exception {
            KeyRef ref = key.resolve();
            if (ref.certificate() != null) {
                for (String problem : Listings.signingProblems(ref.certificate(), java.time.Instant.now())) {
                    if (strict) {
                        throw ToolError.strict(problem + " (--strict)");
                    }
                    err.println("mscapi: warning: " + problem);
                }
            }
            String h = hash.name();
            byte[] pinBytes = pin.bytes();
            try {
                MessageDigest md = MessageDigest.getInstance(Options.jdkDigest(h));
                stream(file, "signing", md::update);
                // A key named by its certificate signs only as the certificate's
                // key: compared before, and after (the container may have been
                // made again in between).
                ref.confirmCertificateKey(false);
                byte[] sig = Native.verifyAndSign(ref.provider(), ref.container(), ref.spec(), md.digest(),
                        Options.hashAlg(h), pinBytes);
                ref.confirmCertificateKey(true);
                if (outFile != null) {
                    FileIO.writePublic(outFile, sig);
                } else {
                    out.println(HexFormat.of().formatHex(sig));
                }
            } finally {
                Secret.wipe(pinBytes);
            }
            return Exit.OK;
        }
    }

    @Command(name = "verify", header = "check a signature (raw or hex) over FILE",
            customSynopsis = {"mscapi verify FILE --signature SIG (--cert F | --pubkey F | --container NAME",
                "           [--provider P] [--spec S] | --thumbprint HEX) [--hash H]"},
            description = "Exit code 0 when the signature holds, 1 when it does not.")
    static final class Verify extends Cmd {
        @Parameters(index = "0", paramLabel = "FILE", description = "The signed file.")
        String file;

        @Option(names = "--signature", paramLabel = "SIG", description = "The signature: raw, or the hex line sign "
                + "prints.")
        String sigFile;

        @Option(names = "--cert", paramLabel = "F", description = "The key of this certificate.")
        String certFile;

        @Option(names = "--pubkey", paramLabel = "F", description = "This public key (PEM or DER).")
        String pubFile;

        @Mixin
        Options.KeyChoice key = new Options.KeyChoice();

        @Mixin
        Options.Hash hash = new Options.Hash();

        @Override
        public Integer call() throws Exception {
            String h = hash.name();
            if (sigFile == null) {
                throw ToolError.usage("verify needs --signature SIG");
            }
            int given = (certFile != null ? 1 : 0) + (pubFile != null ? 1 : 0) + (key.given() ? 1 : 0);
            if (given != 1) {
                throw ToolError.usage(
                        "verify needs one key: --cert F, --pubkey F, --container NAME or --thumbprint HEX");
            }
            PublicKey publicKey;
            if (certFile != null || pubFile != null) {
                String f = certFile != null ? certFile : pubFile;
                publicKey = Formats.readPublicKey(FileIO.read(f), f);
            } else {
                KeyRef ref = key.resolve();
                publicKey = ref.certificate() != null ? ref.certificate().getPublicKey() : ref.publicKey();
            }
            byte[] signature = signatureBytes(FileIO.read(sigFile));
            Signature verifier = Signature.getInstance(Options.jdkDigest(h).replace("-", "") + "withRSA");
            verifier.initVerify(publicKey);
            stream(file, "verifying", verifier::update);
            boolean good;
            try {
                good = verifier.verify(signature);
            } catch (java.security.SignatureException e) {
                good = false;
            }
            if (!good) {
                throw new ToolError("the signature does not verify: " + file + " or " + sigFile
                        + " was changed, or another key or hash made it");
            }
            out.println("signature verified (" + h + ", " + ((java.security.interfaces.RSAPublicKey) publicKey)
                    .getModulus().bitLength() + "-bit RSA)");
            return Exit.OK;
        }
    }

    /** A signature as sign writes it: raw bytes (--out), or the hex line it prints. */
    static byte[] signatureBytes(byte[] data) {
        String text = new String(data, StandardCharsets.ISO_8859_1).strip();
        if (text.length() >= 128 && text.length() % 2 == 0 && text.matches("[0-9a-fA-F]+")) {
            return HexFormat.of().parseHex(text);
        }
        return data;
    }
}
