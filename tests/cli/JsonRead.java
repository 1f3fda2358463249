import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * A strict JSON reader for the CLI tests (run as `java JsonRead.java FILE...`,
 * the JDK's source launcher). It checks each file is exactly one JSON
 * document (RFC 8259: no trailing commas, no raw control characters in
 * strings, valid escapes, nothing after the value) and prints every scalar
 * as one line "path=value" in UTF-8, the path made of member names and
 * [index]: `keys[0].container=Ünïcode`. Strings print as their decoded text
 * with \n, \t and \\ shown as escapes so a line stays a line; null prints
 * as `null`, strings of "null" as "\"null\"" never happen in the tests.
 * Exit code 1 with the position of the first fault.
 */
public final class JsonRead {
    private final String s;
    private int i;
    private final PrintStream out;

    private JsonRead(String s, PrintStream out) {
        this.s = s;
        this.out = out;
    }

    public static void main(String[] args) throws Exception {
        PrintStream out = new PrintStream(System.out, true, StandardCharsets.UTF_8);
        for (String f : args) {
            byte[] bytes = Files.readAllBytes(Path.of(f));
            String text = StandardCharsets.UTF_8.newDecoder().decode(java.nio.ByteBuffer.wrap(bytes)).toString();
            JsonRead r = new JsonRead(text, out);
            try {
                r.ws();
                r.value("");
                r.ws();
                if (r.i != text.length()) {
                    throw r.fault("text after the document");
                }
            } catch (IllegalStateException e) {
                System.err.println(f + ": " + e.getMessage());
                System.exit(1);
            }
        }
    }

    private IllegalStateException fault(String what) {
        return new IllegalStateException(what + " at offset " + i);
    }

    private void ws() {
        while (i < s.length() && (s.charAt(i) == ' ' || s.charAt(i) == '\n' || s.charAt(i) == '\r'
                || s.charAt(i) == '\t')) {
            i++;
        }
    }

    private void expect(char c) {
        if (i >= s.length() || s.charAt(i) != c) {
            throw fault("expected '" + c + "'");
        }
        i++;
    }

    private void value(String path) {
        if (i >= s.length()) {
            throw fault("unexpected end");
        }
        char c = s.charAt(i);
        if (c == '{') {
            i++;
            ws();
            if (i < s.length() && s.charAt(i) == '}') {
                i++;
                out.println(path + "={}");
                return;
            }
            while (true) {
                ws();
                String name = string();
                ws();
                expect(':');
                ws();
                value(path.isEmpty() ? name : path + "." + name);
                ws();
                if (i < s.length() && s.charAt(i) == ',') {
                    i++;
                    continue;
                }
                expect('}');
                return;
            }
        }
        if (c == '[') {
            i++;
            ws();
            if (i < s.length() && s.charAt(i) == ']') {
                i++;
                out.println(path + "=[]");
                return;
            }
            for (int n = 0;; n++) {
                ws();
                value(path + "[" + n + "]");
                ws();
                if (i < s.length() && s.charAt(i) == ',') {
                    i++;
                    continue;
                }
                expect(']');
                out.println(path + ".length=" + (n + 1));
                return;
            }
        }
        if (c == '"') {
            String v = string();
            out.println(path + "=" + v.replace("\\", "\\\\").replace("\n", "\\n").replace("\t", "\\t")
                    .replace("\r", "\\r"));
            return;
        }
        for (String word : new String[] {"true", "false", "null"}) {
            if (s.startsWith(word, i)) {
                i += word.length();
                out.println(path + "=" + word);
                return;
            }
        }
        int start = i;
        if (i < s.length() && s.charAt(i) == '-') {
            i++;
        }
        if (i < s.length() && s.charAt(i) == '0') {
            i++;
        } else {
            int d = i;
            while (i < s.length() && Character.isDigit(s.charAt(i))) {
                i++;
            }
            if (d == i) {
                throw fault("not a value");
            }
        }
        if (i < s.length() && s.charAt(i) == '.') {
            i++;
            int d = i;
            while (i < s.length() && Character.isDigit(s.charAt(i))) {
                i++;
            }
            if (d == i) {
                throw fault("no digits after the point");
            }
        }
        out.println(path + "=" + s.substring(start, i));
    }

    private String string() {
        expect('"');
        StringBuilder b = new StringBuilder();
        while (true) {
            if (i >= s.length()) {
                throw fault("unterminated string");
            }
            char c = s.charAt(i++);
            if (c == '"') {
                return b.toString();
            }
            if (c < 0x20) {
                throw fault("raw control character in a string");
            }
            if (c != '\\') {
                b.append(c);
                continue;
            }
            if (i >= s.length()) {
                throw fault("unterminated escape");
            }
            char e = s.charAt(i++);
            switch (e) {
                case '"': b.append('"'); break;
                case '\\': b.append('\\'); break;
                case '/': b.append('/'); break;
                case 'b': b.append('\b'); break;
                case 'f': b.append('\f'); break;
                case 'n': b.append('\n'); break;
                case 'r': b.append('\r'); break;
                case 't': b.append('\t'); break;
                case 'u':
                    if (i + 4 > s.length()) {
                        throw fault("short \\u escape");
                    }
                    try {
                        b.append((char) Integer.parseInt(s.substring(i, i + 4), 16));
                    } catch (NumberFormatException x) {
                        throw fault("bad \\u escape");
                    }
                    i += 4;
                    break;
                default:
                    throw fault("bad escape \\" + e);
            }
        }
    }
}
