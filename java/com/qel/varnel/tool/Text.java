package com.qel.varnel.tool;

import java.security.MessageDigest;
import java.time.ZoneOffset;
import java.time.format.DateTimeFormatter;
import java.util.HexFormat;

/** How the tool writes names, bytes, dates and thumbprints in every output. */
final class Text {
    private Text() {
    }

    static final DateTimeFormatter DATE =
            DateTimeFormatter.ofPattern("yyyy-MM-dd HH:mm:ss 'UTC'").withZone(ZoneOffset.UTC);

    /**
     * A container name as every output of the tool prints it, in the form a
     * shell reads back as that name (so it can be pasted after --container):
     * the name itself when it holds only letters, digits and . _ - + = : , @ % /;
     * else in single quotes (a quote in it as '\\''); a name with control
     * characters as $'...' with \\t, \\n, \\xNN, \\\\ and \\'.
     */
    static String quoted(String name) {
        boolean plain = !name.isEmpty();
        boolean control = false;
        for (int i = 0; i < name.length(); i++) {
            char c = name.charAt(i);
            control |= c < 0x20 || c == 0x7F;
            plain &= Character.isLetterOrDigit(c) || "._-+=:,@%/".indexOf(c) >= 0;
        }
        if (plain) {
            return name;
        }
        if (!control) {
            return "'" + name.replace("'", "'\\''") + "'";
        }
        StringBuilder b = new StringBuilder("$'");
        for (int i = 0; i < name.length(); i++) {
            char c = name.charAt(i);
            if (c == '\t') {
                b.append("\\t");
            } else if (c == '\n') {
                b.append("\\n");
            } else if (c < 0x20 || c == 0x7F) {
                b.append(String.format("\\x%02x", (int) c));
            } else if (c == '\'' || c == '\\') {
                b.append('\\').append(c);
            } else {
                b.append(c);
            }
        }
        return b.append('\'').toString();
    }

    /** A serial number, kept least significant byte first, most significant first. */
    static byte[] reversed(byte[] a) {
        byte[] r = new byte[a.length];
        for (int i = 0; i < a.length; i++) {
            r[i] = a[a.length - 1 - i];
        }
        return r;
    }

    static String hex(byte[] b) {
        return HexFormat.of().withUpperCase().formatHex(b);
    }

    static String digest(String alg, byte[] der) throws Exception {
        return hex(MessageDigest.getInstance(alg).digest(der));
    }

    static String sha1(byte[] der) throws Exception {
        return HexFormat.of().withUpperCase().formatHex(MessageDigest.getInstance("SHA-1").digest(der));
    }
}
