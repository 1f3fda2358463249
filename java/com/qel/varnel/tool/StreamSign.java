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
import java.util.List;

/**
 * sign and verify over a file of any size in fixed memory: the file is read
 * through one buffer into a MessageDigest (sign) or a Signature (verify);
 * the library signs the hash. Files over 64 MB show a progress bar on stderr
 * when the tool runs on a terminal.
 */
final class StreamSign {
    static final long PROGRESS_FROM = 64L << 20;
    private static final int BUFFER = 1 << 16;

    private final PrintStream out;

    StreamSign(PrintStream out) {
        this.out = out;
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
            throw new Exception("file not found: " + file);
        } catch (AccessDeniedException e) {
            throw new Exception("cannot read " + file + ": permission denied");
        } catch (IOException e) {
            throw new Exception("cannot read " + file + ": " + e.getMessage());
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

    static String hashOption(List<String> args) throws Main.UsageException {
        String hash = Main.option(args, "--hash");
        hash = hash == null ? "sha256" : hash;
        KeyCommands.algId(hash);
        return hash;
    }

    static String fileArgument(List<String> args, String command) throws Main.UsageException {
        if (args.isEmpty()) {
            throw new Main.UsageException(command + " needs the FILE to " + command);
        }
        if (args.size() > 1) {
            throw new Main.UsageException("unexpected argument: " + args.get(1));
        }
        return args.get(0);
    }

    int sign(List<String> args) throws Exception {
        KeyRef key = KeyRef.fromArgs(args);
        String hash = hashOption(args);
        byte[] pin = KeyCommands.pin(args);
        String outFile = Main.option(args, "--out");
        String file = fileArgument(args, "sign");
        try {
            MessageDigest md = MessageDigest.getInstance(KeyCommands.jdkDigest(hash));
            stream(file, "signing", md::update);
            byte[] sig = Native.verifyAndSign(key.provider(), key.container(), key.spec(), md.digest(),
                    KeyCommands.algId(hash), pin);
            if (outFile != null) {
                FileIO.writePublic(outFile, sig);
            } else {
                out.println(HexFormat.of().formatHex(sig));
            }
        } finally {
            KeyCommands.wipe(pin);
        }
        return Main.OK;
    }

    int verify(List<String> args) throws Exception {
        String sigFile = Main.option(args, "--signature");
        String certFile = Main.option(args, "--cert");
        String pubFile = Main.option(args, "--pubkey");
        String hash = hashOption(args);
        if (sigFile == null) {
            throw new Main.UsageException("verify needs --signature SIG");
        }
        int given = (certFile != null ? 1 : 0) + (pubFile != null ? 1 : 0)
                + (args.contains("--container") || args.contains("--thumbprint") ? 1 : 0);
        if (given != 1) {
            throw new Main.UsageException(
                    "verify needs one key: --cert F, --pubkey F, --container NAME or --thumbprint HEX");
        }
        PublicKey key;
        if (certFile != null || pubFile != null) {
            String f = certFile != null ? certFile : pubFile;
            key = Formats.readPublicKey(FileIO.read(f), f);
        } else {
            KeyRef ref = KeyRef.fromArgs(args);
            key = ref.certificate() != null ? ref.certificate().getPublicKey() : ref.publicKey();
        }
        String file = fileArgument(args, "verify");
        byte[] signature = signatureBytes(FileIO.read(sigFile));
        Signature verifier = Signature.getInstance(KeyCommands.jdkDigest(hash).replace("-", "") + "withRSA");
        verifier.initVerify(key);
        stream(file, "verifying", verifier::update);
        boolean good;
        try {
            good = verifier.verify(signature);
        } catch (java.security.SignatureException e) {
            good = false;
        }
        if (!good) {
            throw new Exception("the signature does not verify: " + file + " or " + sigFile
                    + " was changed, or another key or hash made it");
        }
        out.println("signature verified (" + hash + ", " + ((java.security.interfaces.RSAPublicKey) key)
                .getModulus().bitLength() + "-bit RSA)");
        return Main.OK;
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
