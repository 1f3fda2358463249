package com.qel.varnel.tool;

import java.io.Console;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Arrays;
import java.util.Base64;
import java.util.List;

/**
 * Files and passwords of the tool, with errors that name the file: files
 * that hold private keys are created with mode 0600. Kept apart from the
 * format parsers so that commands that only read a file or a PIN do not load
 * Bouncy Castle.
 */
final class FileIO {
    private FileIO() {
    }

    /** Where a password comes from: the first line of a file, or the console without echo. */
    static final class Password {
        private final String file;
        private final String prompt;
        private char[] value;

        Password(String file, String prompt) {
            this.file = file;
            this.prompt = prompt;
        }

        /** Takes --password-file F from the arguments; the password is read when first needed. */
        static Password fromArgs(List<String> args, String prompt) throws Main.UsageException {
            return new Password(Main.option(args, "--password-file"), prompt);
        }

        char[] get() throws Exception {
            if (value != null) {
                return value;
            }
            if (file != null) {
                byte[] all = read(file);
                int end = 0;
                while (end < all.length && all[end] != '\n' && all[end] != '\r') {
                    end++;
                }
                java.nio.CharBuffer chars = StandardCharsets.UTF_8.decode(java.nio.ByteBuffer.wrap(all, 0, end));
                value = Arrays.copyOfRange(chars.array(), chars.position(), chars.limit());
                Arrays.fill(chars.array(), '\0');
                Arrays.fill(all, (byte) 0);
                return value;
            }
            Console console = System.console();
            if (console == null) {
                throw new Main.UsageException(prompt + " needed: give --password-file F (no console to ask on)");
            }
            char[] typed = console.readPassword("%s: ", prompt);
            if (typed == null) {
                throw new Main.UsageException("no " + prompt + " read");
            }
            value = typed;
            return value;
        }

        /** Asks twice on the console, so that a typing error cannot lock away what is written. */
        char[] getNew() throws Exception {
            if (value != null || file != null) {
                return get();
            }
            char[] first = get();
            Console console = System.console();
            char[] again = console.readPassword("%s (again): ", prompt);
            boolean same = again != null && Arrays.equals(first, again);
            if (again != null) {
                Arrays.fill(again, '\0');
            }
            if (!same) {
                wipe();
                throw new Main.UsageException("the two passwords differ");
            }
            return value;
        }

        void wipe() {
            if (value != null) {
                Arrays.fill(value, '\0');
                value = null;
            }
        }
    }

    /** A file's bytes, or an error that names the file and what is wrong with it. */
    static byte[] read(String name) throws Exception {
        try {
            return Files.readAllBytes(Path.of(name));
        } catch (NoSuchFileException e) {
            throw new Exception("file not found: " + name);
        } catch (AccessDeniedException e) {
            throw new Exception("cannot read " + name + ": permission denied");
        } catch (IOException e) {
            throw new Exception("cannot read " + name + ": " + e.getMessage());
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
            throw new Exception(name + " exists already (give --force to replace it)");
        } catch (IOException e) {
            throw cannotWrite(name, e);
        }
    }

    /** A failed write in words: which file, and why. */
    private static Exception cannotWrite(String name, IOException e) {
        String why = e instanceof NoSuchFileException ? "no such directory"
                : e instanceof AccessDeniedException ? "permission denied" : e.getMessage();
        return new Exception("cannot write " + name + ": " + why);
    }

    /** Writes a file that holds nothing secret (a certificate, a request, a signature). */
    static void writePublic(String name, byte[] data) throws Exception {
        try {
            Files.write(Path.of(name), data);
        } catch (IOException e) {
            throw cannotWrite(name, e);
        }
    }

    static String pem(String type, byte[] der) {
        return "-----BEGIN " + type + "-----\n" + Base64.getMimeEncoder(64, new byte[] {'\n'}).encodeToString(der)
                + "\n-----END " + type + "-----\n";
    }

    static boolean isPem(byte[] data) {
        return new String(data, StandardCharsets.ISO_8859_1).contains("-----BEGIN ");
    }
}
