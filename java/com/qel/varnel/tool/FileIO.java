package com.qel.varnel.tool;

import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;

/**
 * Files of the tool, with errors that name the file: files
 * that hold private keys are created with mode 0600. Kept apart from the
 * format parsers so that commands that only read a file or a PIN do not load
 * Bouncy Castle.
 */
final class FileIO {
    private FileIO() {
    }

    /** A file's bytes, or an error that names the file and what is wrong with it. */
    static byte[] read(String name) throws Exception {
        try {
            return Files.readAllBytes(Path.of(name));
        } catch (NoSuchFileException e) {
            throw new ToolError("file not found: " + name);
        } catch (AccessDeniedException e) {
            throw new ToolError("cannot read " + name + ": permission denied");
        } catch (IOException e) {
            throw new ToolError("cannot read " + name + ": " + e.getMessage());
        }
    }

    /**
     * Writes a file that holds a private key: created with mode 0600 from the
     * start (never widened, then narrowed). An existing file is an error
     * unless force; then the new file replaces it in one rename, so the old
     * file's mode is not inherited and no half-written key is ever visible.
     */
    static void writePrivate(String name, byte[] data, boolean force) throws Exception {
        Path target = Path.of(name);
        var ownerOnly = PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-------"));
        try {
            if (!force) {
                Files.createFile(target, ownerOnly);
                try (OutputStream o = Files.newOutputStream(target)) {
                    o.write(data);
                }
                return;
            }
            Path dir = target.toAbsolutePath().getParent();
            Path temp = Files.createTempFile(dir, ".mscapi-", ".tmp", ownerOnly);
            try {
                try (OutputStream o = Files.newOutputStream(temp)) {
                    o.write(data);
                }
                Files.move(temp, target, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
            } finally {
                Files.deleteIfExists(temp);
            }
        } catch (FileAlreadyExistsException e) {
            throw new ToolError(name + " exists already (give --force to replace it)");
        } catch (IOException e) {
            throw cannotWrite(name, e);
        }
    }

    /** A failed write in words: which file, and why. */
    private static ToolError cannotWrite(String name, IOException e) {
        String why = e instanceof NoSuchFileException ? "no such directory"
                : e instanceof AccessDeniedException ? "permission denied" : e.getMessage();
        return new ToolError("cannot write " + name + ": " + why);
    }

    /** Writes a file that holds nothing secret (a certificate, a request, a signature). */
    static void writePublic(String name, byte[] data) throws Exception {
        try {
            Files.write(Path.of(name), data);
        } catch (IOException e) {
            throw cannotWrite(name, e);
        }
    }

    /** A PEM block of type (CERTIFICATE, PUBLIC KEY...), by Bouncy Castle's PemWriter. */
    static String pem(String type, byte[] der) {
        java.io.StringWriter text = new java.io.StringWriter();
        try (org.bouncycastle.util.io.pem.PemWriter w = new org.bouncycastle.util.io.pem.PemWriter(text)) {
            w.writeObject(new org.bouncycastle.util.io.pem.PemObject(type, der));
        } catch (IOException e) {
            throw new java.io.UncheckedIOException(e);
        }
        return text.toString();
    }

    static boolean isPem(byte[] data) {
        return new String(data, StandardCharsets.ISO_8859_1).contains("-----BEGIN ");
    }

    /** PEM text (nothing secret) into the --out file when one is given, else to standard output. */
    static void emit(PrintStream out, String outFile, String text) throws Exception {
        if (outFile != null) {
            FileIO.writePublic(outFile, text.getBytes(StandardCharsets.US_ASCII));
        } else {
            out.print(text);
        }
    }
}
