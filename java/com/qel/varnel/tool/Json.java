package com.qel.varnel.tool;

import java.util.ArrayList;
import java.util.List;
import java.util.Map;

/**
 * A small JSON writer for the tool's --json output (the JDK has none). Values
 * are String, Boolean, Number (integers only), null, Map (insertion order is
 * kept: pass a LinkedHashMap) and List. The output is pure ASCII: every
 * character outside printable ASCII is written as a \\u escape (a character
 * beyond U+FFFF as its surrogate pair), so it reads the same whatever the
 * terminal's or the reader's charset.
 */
final class Json {
    private Json() {
    }

    /** The JSON text of one value, indented by two spaces per level. */
    static String write(Object value) {
        StringBuilder b = new StringBuilder();
        value(b, value, 0);
        return b.append('\n').toString();
    }

    private static void value(StringBuilder b, Object v, int depth) {
        if (v == null) {
            b.append("null");
        } else if (v instanceof String) {
            string(b, (String) v);
        } else if (v instanceof Boolean) {
            b.append(((Boolean) v) ? "true" : "false");
        } else if (v instanceof Integer || v instanceof Long || v instanceof java.math.BigInteger) {
            b.append(v.toString());
        } else if (v instanceof Map) {
            Map<?, ?> m = (Map<?, ?>) v;
            if (m.isEmpty()) {
                b.append("{}");
                return;
            }
            b.append('{');
            boolean first = true;
            for (Map.Entry<?, ?> e : m.entrySet()) {
                b.append(first ? "\n" : ",\n");
                first = false;
                indent(b, depth + 1);
                string(b, String.valueOf(e.getKey()));
                b.append(": ");
                value(b, e.getValue(), depth + 1);
            }
            b.append('\n');
            indent(b, depth);
            b.append('}');
        } else if (v instanceof List) {
            List<?> l = (List<?>) v;
            if (l.isEmpty()) {
                b.append("[]");
                return;
            }
            b.append('[');
            boolean first = true;
            for (Object o : l) {
                b.append(first ? "\n" : ",\n");
                first = false;
                indent(b, depth + 1);
                value(b, o, depth + 1);
            }
            b.append('\n');
            indent(b, depth);
            b.append(']');
        } else {
            throw new IllegalArgumentException("no JSON form for " + v.getClass().getName());
        }
    }

    private static void indent(StringBuilder b, int depth) {
        for (int i = 0; i < depth; i++) {
            b.append("  ");
        }
    }

    /** A JSON string: quotes, backslash and every non-printable or non-ASCII char escaped. */
    static void string(StringBuilder b, String s) {
        b.append('"');
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            switch (c) {
                case '"':
                    b.append("\\\"");
                    break;
                case '\\':
                    b.append("\\\\");
                    break;
                case '\n':
                    b.append("\\n");
                    break;
                case '\r':
                    b.append("\\r");
                    break;
                case '\t':
                    b.append("\\t");
                    break;
                case '\b':
                    b.append("\\b");
                    break;
                case '\f':
                    b.append("\\f");
                    break;
                default:
                    if (c < 0x20 || c >= 0x7F) {
                        b.append(String.format("\\u%04x", (int) c));
                    } else {
                        b.append(c);
                    }
            }
        }
        b.append('"');
    }

    /** A list of strings, for building documents. */
    static List<Object> list(Iterable<String> items) {
        List<Object> l = new ArrayList<>();
        for (String s : items) {
            l.add(s);
        }
        return l;
    }
}
