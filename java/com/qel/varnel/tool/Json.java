package com.qel.varnel.tool;

import com.fasterxml.jackson.core.JsonFactory;
import com.fasterxml.jackson.core.JsonGenerator;
import com.fasterxml.jackson.core.PrettyPrinter;
import com.fasterxml.jackson.core.SerializableString;
import com.fasterxml.jackson.core.io.CharacterEscapes;
import com.fasterxml.jackson.core.io.SerializedString;
import java.io.IOException;
import java.io.StringWriter;
import java.io.UncheckedIOException;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;

/**
 * The tool's --json output, written by Jackson's JsonGenerator. Values are
 * String, Boolean, Integer, Long, BigInteger, null, Map (insertion order is
 * kept: pass a LinkedHashMap) and List. The output is pure ASCII: every
 * character outside printable ASCII is written as a \\u escape in lower-case
 * hex (a character beyond U+FFFF as its surrogate pair), so it reads the same
 * whatever the terminal's or the reader's charset; members and elements one
 * to a line, indented by two spaces per level.
 */
final class Json {
    private Json() {
    }

    private static final JsonFactory FACTORY = new JsonFactory();

    /** The JSON text of one value, ending in a newline. */
    static String write(Object value) {
        StringWriter text = new StringWriter();
        try (JsonGenerator g = FACTORY.createGenerator(text)) {
            g.setCharacterEscapes(new AsciiEscapes());
            g.setPrettyPrinter(new Layout());
            value(g, value);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        return text.append('\n').toString();
    }

    private static void value(JsonGenerator g, Object v) throws IOException {
        if (v == null) {
            g.writeNull();
        } else if (v instanceof String s) {
            g.writeString(s);
        } else if (v instanceof Boolean b) {
            g.writeBoolean(b);
        } else if (v instanceof Integer i) {
            g.writeNumber(i);
        } else if (v instanceof Long l) {
            g.writeNumber(l);
        } else if (v instanceof java.math.BigInteger b) {
            g.writeNumber(b);
        } else if (v instanceof Map<?, ?> m) {
            g.writeStartObject();
            for (Map.Entry<?, ?> e : m.entrySet()) {
                g.writeFieldName(String.valueOf(e.getKey()));
                value(g, e.getValue());
            }
            g.writeEndObject();
        } else if (v instanceof List<?> l) {
            g.writeStartArray();
            for (Object o : l) {
                value(g, o);
            }
            g.writeEndArray();
        } else {
            throw new IllegalArgumentException("no JSON form for " + v.getClass().getName());
        }
    }

    /**
     * Control characters, DEL and everything beyond ASCII as \\u escapes in
     * lower-case hex. (JsonWriteFeature.ESCAPE_NON_ASCII would write the
     * characters beyond ASCII in upper-case hex, unlike the rest.)
     */
    private static final class AsciiEscapes extends CharacterEscapes {
        private static final long serialVersionUID = 1L;
        private final int[] codes = standardAsciiEscapesForJSON();

        AsciiEscapes() {
            for (int c = 0; c < 0x20; c++) {
                if (codes[c] == ESCAPE_STANDARD && "\b\t\n\f\r".indexOf(c) < 0) {
                    codes[c] = ESCAPE_CUSTOM;
                }
            }
            codes[0x7F] = ESCAPE_CUSTOM;
        }

        @Override
        public int[] getEscapeCodesForAscii() {
            return codes;
        }

        @Override
        public SerializableString getEscapeSequence(int ch) {
            // Asked for ESCAPE_CUSTOM codes and for every character beyond ASCII.
            return new SerializedString(String.format("\\u%04x", ch));
        }
    }

    /** One member or element to a line, two spaces per level, "name": value. */
    private static final class Layout implements PrettyPrinter {
        private int depth;

        private void newLine(JsonGenerator g) throws IOException {
            g.writeRaw('\n');
            for (int i = 0; i < depth; i++) {
                g.writeRaw("  ");
            }
        }

        @Override
        public void writeRootValueSeparator(JsonGenerator g) throws IOException {
            g.writeRaw('\n');
        }

        @Override
        public void writeStartObject(JsonGenerator g) throws IOException {
            g.writeRaw('{');
            depth++;
        }

        @Override
        public void beforeObjectEntries(JsonGenerator g) throws IOException {
            newLine(g);
        }

        @Override
        public void writeObjectFieldValueSeparator(JsonGenerator g) throws IOException {
            g.writeRaw(": ");
        }

        @Override
        public void writeObjectEntrySeparator(JsonGenerator g) throws IOException {
            g.writeRaw(',');
            newLine(g);
        }

        @Override
        public void writeEndObject(JsonGenerator g, int entries) throws IOException {
            depth--;
            if (entries > 0) {
                newLine(g);
            }
            g.writeRaw('}');
        }

        @Override
        public void writeStartArray(JsonGenerator g) throws IOException {
            g.writeRaw('[');
            depth++;
        }

        @Override
        public void beforeArrayValues(JsonGenerator g) throws IOException {
            newLine(g);
        }

        @Override
        public void writeArrayValueSeparator(JsonGenerator g) throws IOException {
            g.writeRaw(',');
            newLine(g);
        }

        @Override
        public void writeEndArray(JsonGenerator g, int values) throws IOException {
            depth--;
            if (values > 0) {
                newLine(g);
            }
            g.writeRaw(']');
        }
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
