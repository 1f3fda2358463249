package com.qel.varnel.tool;

import java.io.Console;
import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * A PIN, password or code the tool reads: from the first line of a file, or
 * asked on the console without echo (twice for a new one, so that a typing
 * error cannot lock away what is written), never from the command line. It
 * is read when first needed, kept as characters and handed out as
 * characters or UTF-8 bytes; close() wipes it.
 */
final class Secret implements AutoCloseable {
    private final String file;
    private final String fileOption;
    private final boolean ask;
    private final String what;
    private char[] value;

    /**
     * @param file the file whose first line holds it, or null
     * @param fileOption the option that names such a file (for the message when there is no console)
     * @param ask whether the console may be asked when there is no file
     * @param what what it is, for the prompt and the messages ("PIN", "PFX password")
     */
    Secret(String file, String fileOption, boolean ask, String what) {
        this.file = file;
        this.fileOption = fileOption;
        this.ask = ask;
        this.what = what;
    }

    /** Whether there is a file or a console question to read it from. */
    boolean given() {
        return file != null || ask;
    }

    /** The secret, read once: the file's first line, or the console's answer. */
    char[] chars() throws Exception {
        if (value == null) {
            value = file != null ? firstLine(file) : askOnce("%s: ");
        }
        return value;
    }

    /** A secret that is about to protect something: asked twice on the console. */
    char[] confirmed() throws Exception {
        if (value != null || file != null) {
            return chars();
        }
        char[] first = askOnce("%s: ");
        char[] again = askOnce("%s (again): ");
        boolean same = Arrays.equals(first, again);
        Arrays.fill(again, '\0');
        if (!same) {
            Arrays.fill(first, '\0');
            throw ToolError.usage("the two entries of the " + what + " differ");
        }
        value = first;
        return value;
    }

    /** The secret's UTF-8 bytes, null when none was given; the caller wipes them. */
    byte[] bytes() throws Exception {
        if (!given()) {
            return null;
        }
        ByteBuffer b = StandardCharsets.UTF_8.encode(CharBuffer.wrap(chars()));
        byte[] out = Arrays.copyOfRange(b.array(), b.position(), b.limit());
        Arrays.fill(b.array(), (byte) 0);
        return out;
    }

    @Override
    public void close() {
        if (value != null) {
            Arrays.fill(value, '\0');
            value = null;
        }
    }

    private char[] askOnce(String prompt) throws ToolError {
        Console console = System.console();
        if (!ask || console == null) {
            throw ToolError.usage(what + " needed: give " + fileOption + " F (no console to ask on)");
        }
        char[] typed = console.readPassword(prompt, what);
        if (typed == null) {
            throw ToolError.usage("no " + what + " read");
        }
        return typed;
    }

    /** A file's first line (up to CR or LF) as UTF-8 text; the file's bytes are wiped. */
    private static char[] firstLine(String file) throws Exception {
        byte[] all = FileIO.read(file);
        try {
            int end = 0;
            while (end < all.length && all[end] != '\n' && all[end] != '\r') {
                end++;
            }
            CharBuffer chars = StandardCharsets.UTF_8.decode(ByteBuffer.wrap(all, 0, end));
            char[] line = Arrays.copyOfRange(chars.array(), chars.position(), chars.limit());
            Arrays.fill(chars.array(), '\0');
            return line;
        } finally {
            Arrays.fill(all, (byte) 0);
        }
    }

    static void wipe(byte[] secret) {
        if (secret != null) {
            Arrays.fill(secret, (byte) 0);
        }
    }
}
