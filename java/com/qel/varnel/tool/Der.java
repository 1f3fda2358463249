package com.qel.varnel.tool;

import java.io.ByteArrayOutputStream;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.time.ZoneOffset;
import java.time.ZonedDateTime;
import java.time.format.DateTimeFormatter;

/** A minimal DER encoder, enough to build an X.509 certificate's to-be-signed part. */
final class Der {
    private Der() {
    }

    static byte[] tlv(int tag, byte[] content) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        out.write(tag);
        int n = content.length;
        if (n < 0x80) {
            out.write(n);
        } else {
            byte[] len = BigInteger.valueOf(n).toByteArray();
            int skip = len[0] == 0 ? 1 : 0;
            out.write(0x80 | (len.length - skip));
            out.write(len, skip, len.length - skip);
        }
        out.writeBytes(content);
        return out.toByteArray();
    }

    static byte[] concat(byte[]... parts) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        for (byte[] p : parts) {
            out.writeBytes(p);
        }
        return out.toByteArray();
    }

    static byte[] sequence(byte[]... parts) {
        return tlv(0x30, concat(parts));
    }

    static byte[] set(byte[]... parts) {
        return tlv(0x31, concat(parts));
    }

    static byte[] integer(BigInteger v) {
        return tlv(0x02, v.toByteArray());
    }

    static byte[] nul() {
        return new byte[] {0x05, 0x00};
    }

    static byte[] bitString(byte[] bits) {
        return tlv(0x03, concat(new byte[] {0}, bits));
    }

    static byte[] utf8(String s) {
        return tlv(0x0C, s.getBytes(StandardCharsets.UTF_8));
    }

    static byte[] explicit(int number, byte[] content) {
        return tlv(0xA0 | number, content);
    }

    static byte[] utcTime(ZonedDateTime t) {
        String s = t.withZoneSameInstant(ZoneOffset.UTC).format(DateTimeFormatter.ofPattern("yyMMddHHmmss'Z'"));
        return tlv(0x17, s.getBytes(StandardCharsets.US_ASCII));
    }

    static byte[] oid(String dotted) {
        String[] parts = dotted.split("\\.");
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        out.write(Integer.parseInt(parts[0]) * 40 + Integer.parseInt(parts[1]));
        for (int i = 2; i < parts.length; i++) {
            long v = Long.parseLong(parts[i]);
            int groups = 1;
            for (long t = v >> 7; t != 0; t >>= 7) {
                groups++;
            }
            for (int g = groups - 1; g >= 0; g--) {
                int b = (int) ((v >> (7 * g)) & 0x7F);
                out.write(g == 0 ? b : (b | 0x80));
            }
        }
        return tlv(0x06, out.toByteArray());
    }

    /** A distinguished name with one common name. */
    static byte[] name(String commonName) {
        return sequence(set(sequence(oid("2.5.4.3"), utf8(commonName))));
    }
}
