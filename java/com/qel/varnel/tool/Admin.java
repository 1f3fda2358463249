package com.qel.varnel.tool;

import com.fasterxml.jackson.core.JsonFactory;
import com.fasterxml.jackson.core.JsonParser;
import com.fasterxml.jackson.core.JsonToken;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The emulation's own administration program, mscapi-admin, which lies
 * beside the library: what the tool shows of the platform (the home, the
 * providers and their tokens, the token store) comes from its JSON answers,
 * and check, unblock and the unblock code are its commands.
 */
final class Admin {
    private static final JsonFactory JSON = new JsonFactory();

    private Admin() {
    }

    /** mscapi-admin in the library's folder (java.library.path, which the launcher sets). */
    static Path program() throws Exception {
        String dirs = System.getProperty("java.library.path", "");
        for (String dir : dirs.split(File.pathSeparator)) {
            Path p = Path.of(dir.isEmpty() ? "." : dir, "mscapi-admin");
            if (Files.isExecutable(p)) {
                return p;
            }
        }
        throw new Exception("mscapi-admin is not in the library's folder (" + dirs + ")");
    }

    private static ProcessBuilder builder(List<String> args) throws Exception {
        List<String> cmd = new ArrayList<>();
        cmd.add(program().toString());
        cmd.addAll(args);
        ProcessBuilder pb = new ProcessBuilder(cmd);
        // This run's trace is the library's: the program keeps its own.
        pb.environment().remove("MSCAPI_TRACE");
        return pb;
    }

    /** Runs a command of mscapi-admin on the tool's terminal and returns its exit code. */
    static int pass(List<String> args) throws Exception {
        System.out.flush();
        System.err.flush();
        return builder(args).inheritIO().start().waitFor();
    }

    /** The JSON document a command of mscapi-admin answers; its message when it fails. */
    static Map<String, Object> ask(String... args) throws Exception {
        return ask(null, args);
    }

    /**
     * The same, with `input` written to the command's standard input (and the
     * input closed); without input the command reads an empty one.
     */
    static Map<String, Object> ask(byte[] input, String... args) throws Exception {
        Process p = builder(List.of(args)).start();
        try (var in = p.getOutputStream()) {
            if (input != null) {
                in.write(input);
            }
        } catch (IOException e) {
            // the program ended without reading: its exit code and message tell
        }
        // Its messages are read beside the document, so that neither pipe fills up.
        ByteArrayOutputStream said = new ByteArrayOutputStream();
        Thread errors = new Thread(() -> {
            try {
                p.getErrorStream().transferTo(said);
            } catch (IOException e) {
                // the program went away: its exit code tells
            }
        });
        errors.setDaemon(true);
        errors.start();
        byte[] doc = p.getInputStream().readAllBytes();
        int rc = p.waitFor();
        errors.join();
        if (rc != 0) {
            String message = said.toString(StandardCharsets.UTF_8).trim();
            throw new Exception(message.startsWith("mscapi: ") ? message.substring(8)
                    : "mscapi-admin " + args[0] + " failed (exit code " + rc + ")" + (message.isEmpty() ? ""
                    : ": " + message));
        }
        try (JsonParser parser = JSON.createParser(doc)) {
            parser.nextToken();
            Object value = value(parser);
            if (!(value instanceof Map) || parser.nextToken() != null) {
                throw new Exception("mscapi-admin " + args[0] + " answered no JSON object");
            }
            @SuppressWarnings("unchecked")
            Map<String, Object> map = (Map<String, Object>) value;
            return map;
        }
    }

    /** The value at the parser's current token: Map, List, String, an integer Number, Boolean or null. */
    private static Object value(JsonParser p) throws IOException {
        JsonToken t = p.currentToken();
        if (t == null) {
            throw new IOException("the JSON document ends early");
        }
        switch (t) {
            case START_OBJECT: {
                Map<String, Object> m = new LinkedHashMap<>();
                while (p.nextToken() == JsonToken.FIELD_NAME) {
                    String name = p.currentName();
                    p.nextToken();
                    m.put(name, value(p));
                }
                return m;
            }
            case START_ARRAY: {
                List<Object> l = new ArrayList<>();
                while (p.nextToken() != JsonToken.END_ARRAY) {
                    l.add(value(p));
                }
                return l;
            }
            case VALUE_STRING:
                return p.getText();
            case VALUE_NUMBER_INT:
                return p.getNumberValue();
            case VALUE_TRUE:
                return Boolean.TRUE;
            case VALUE_FALSE:
                return Boolean.FALSE;
            case VALUE_NULL:
                return null;
            default:
                throw new IOException("unexpected JSON token " + t);
        }
    }

    /** A member of an object that is an object (or null). */
    @SuppressWarnings("unchecked")
    static Map<String, Object> object(Map<String, Object> m, String name) {
        Object v = m == null ? null : m.get(name);
        return v instanceof Map ? (Map<String, Object>) v : null;
    }

    /** The objects of a member that is a list (empty when missing). */
    @SuppressWarnings("unchecked")
    static List<Map<String, Object>> objects(Map<String, Object> m, String name) {
        List<Map<String, Object>> out = new ArrayList<>();
        Object v = m == null ? null : m.get(name);
        if (v instanceof List) {
            for (Object o : (List<Object>) v) {
                if (o instanceof Map) {
                    out.add((Map<String, Object>) o);
                }
            }
        }
        return out;
    }

    /** A member that is a string (or null). */
    static String string(Map<String, Object> m, String name) {
        Object v = m == null ? null : m.get(name);
        return v instanceof String ? (String) v : null;
    }

    /** Where the emulated machine lives for this run, as the emulation says. */
    static String describeHome() {
        try {
            Map<String, Object> home = Admin.ask("home", "--json");
            String dir = Admin.string(home, "home");
            return "MSCAPI_HOME".equals(Admin.string(home, "origin")) ? dir + " (MSCAPI_HOME)" : dir;
        } catch (Exception e) {
            return "unknown (" + e.getMessage() + ")";
        }
    }

    /** A provider's family in words, from the provider's entry of `mscapi-admin providers --json`. */
    static String family(Map<String, Object> provider) {
        String image = Admin.string(provider, "image");
        if (image == null) {
            return "unknown (no image path)";
        }
        String family = Admin.string(provider, "family");
        if (family == null) {
            return "not available here (" + image + ")";
        }
        switch (family) {
            case "software":
                return "software (" + image + ")";
            case "token":
                return "software token with PINs (" + image + ")";
            default:
                return "PKCS#11, module " + image;
        }
    }

    /** The initialised tokens a PKCS#11 provider's module shows, from the same entry; null for other providers. */
    static List<String> tokens(Map<String, Object> provider) {
        Map<String, Object> module = Admin.object(provider, "module");
        if (module == null) {
            return null;
        }
        List<String> found = new ArrayList<>();
        if (!Boolean.TRUE.equals(module.get("loaded"))) {
            found.add("tokens: cannot be listed (" + Admin.string(module, "error") + ")");
            return found;
        }
        for (Map<String, Object> slot : Admin.objects(module, "slots")) {
            Map<String, Object> token = Admin.object(slot, "token");
            if (token != null && Boolean.TRUE.equals(token.get("initialized"))) {
                found.add("token: \"" + Admin.string(token, "label") + "\", serial " + Admin.string(token, "serial"));
            }
        }
        if (found.isEmpty()) {
            found.add("tokens: none present");
        }
        return found;
    }
}
