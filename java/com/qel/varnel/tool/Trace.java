package com.qel.varnel.tool;

import com.qel.varnel.Records;
import java.io.File;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The emulation's trace of this run, which the launcher points at a private
 * file: one line per platform call, with the reason in words where the
 * emulation knows it and, for the reasons a program may act on, the
 * reason's stable code as the field "cause" (with details such as "tries").
 * The tool reads the cause of a failure from the codes, never from the words.
 */
final class Trace {
    /**
     * The system property that marks the demo's child JVM, which writes
     * into its parent's trace (a property, not a variable: reading the
     * environment costs every start-up a parse of all of it).
     */
    static final String DEMO_CHILD = "mscapi.demo.child";

    /** The codes of reasons that mean the stored state itself is unusable (or not this user's). */
    static final Set<String> STORAGE_CAUSES = Set.of("STORAGE_DAMAGED", "STORAGE_CANNOT_OPEN",
            "STORAGE_CANNOT_WRITE", "STORAGE_DISK_FULL", "STORAGE_FAILURE", "HOME_NOT_DIRECTORY", "HOME_UNUSABLE",
            "PERMISSION_DENIED");

    /** The patterns, compiled on first use only (a run that fails nowhere needs none). */
    private static final class P {
        /** A call's whole line: name, arguments, result, error name, reason. */
        static final Pattern LINE = Pattern.compile(
            "^(\\w+)\\((.*)\\) = (\\S+), last error 0x[0-9a-f]{8}(?: \\((\\w+)\\))?(?:: (note: )?(.*))?$");
    }

    // java.io.File, not java.nio.file: the first use of NIO's file system
    // loads its native library and classes, a few milliseconds of every
    // start-up, and a run that succeeds only needs the file's size.
    private final File file;

    Trace(File file) {
        this.file = file;
    }

    /** The trace of this run, or null when the tool runs without its launcher. */
    static Trace ofThisRun() {
        String path = System.getProperty("mscapi.trace");
        return path == null || path.isEmpty() ? null : new Trace(new File(path));
    }

    /** Deletes this run's trace file now (the launcher made it for this run alone). */
    static void deleteNow() {
        String path = System.getProperty("mscapi.trace");
        // The demo's child JVM writes into its parent's trace: the parent deletes it.
        if (path != null && !path.isEmpty() && System.getProperty(DEMO_CHILD) == null) {
            // a trace left over is emptied by the next run of that number
            new File(path).delete();
        }
    }

    /** Deletes this run's trace file when the JVM is stopped (Ctrl-C, SIGTERM) before main ends. */
    static void deleteAtExit() {
        String path = System.getProperty("mscapi.trace");
        if (path == null || path.isEmpty() || System.getProperty(DEMO_CHILD) != null) {
            return;
        }
        Runtime.getRuntime().addShutdownHook(new Thread() {
            @Override
            public void run() {
                // a trace left over is emptied by the next run of that number
                new File(path).delete();
            }
        });
    }

    /** Where the trace of this run stands now (its length), or -1 without a trace. */
    static long mark() {
        String path = System.getProperty("mscapi.trace");
        if (path == null || path.isEmpty()) {
            return -1;
        }
        // 0 when the file is missing, as for an empty trace
        return new File(path).length();
    }

    List<String> lines() {
        return linesSince(0);
    }

    /**
     * The lines written after a mark. The file holds the names exactly as the
     * library passed them (modified UTF-8); lines are read as such.
     */
    List<String> linesSince(long mark) {
        return linesBetween(mark, -1);
    }

    /** The lines written between two marks (end -1: up to the trace's end). */
    List<String> linesBetween(long mark, long end) {
        try {
            byte[] all = Files.readAllBytes(file.toPath());
            if (end >= 0 && end < all.length) {
                all = java.util.Arrays.copyOf(all, (int) end);
            }
            int from = (int) Math.max(0, Math.min(mark, all.length));
            List<String> out = new ArrayList<>();
            int start = from;
            for (int i = from; i < all.length; i++) {
                if (all[i] == '\n') {
                    out.add(Records.name(java.util.Arrays.copyOfRange(all, start, i)));
                    start = i + 1;
                }
            }
            if (start < all.length) {
                out.add(Records.name(java.util.Arrays.copyOfRange(all, start, all.length)));
            }
            return out;
        } catch (IOException e) {
            return List.of();
        }
    }

    /** One line of the trace taken apart. */
    record Line(String call, java.util.Map<String, String> args, boolean ok, String error, String reason) {
        /** The stable code of the reason ("PIN_WRONG"), or null when the line gives none. */
        String cause() {
            return args.get("cause");
        }

        /** A text argument (quotes and \xNN escapes undone), or null when absent or null. */
        String text(String name) {
            String v = args.get(name);
            if (v == null || !v.startsWith("\"")) {
                return null;
            }
            StringBuilder b = new StringBuilder();
            for (int i = 1; i < v.length() - 1; i++) {
                char c = v.charAt(i);
                if (c == '\\' && i + 3 < v.length() && v.charAt(i + 1) == 'x') {
                    b.append((char) Integer.parseInt(v.substring(i + 2, i + 4), 16));
                    i += 3;
                } else {
                    b.append(c);
                }
            }
            return b.toString();
        }

        long number(String name) {
            String v = args.get(name);
            if (v == null) {
                return -1;
            }
            try {
                return v.startsWith("0x") ? Long.parseLong(v.substring(2), 16) : Long.parseLong(v);
            } catch (NumberFormatException e) {
                return -1;
            }
        }
    }


    /** A trace line taken apart, or null when it is not a call's line. */
    static Line parse(String line) {
        Matcher m = P.LINE.matcher(line);
        if (!m.matches()) {
            return null;
        }
        java.util.Map<String, String> args = new java.util.LinkedHashMap<>();
        String a = m.group(2);
        int i = 0;
        while (i < a.length()) {
            int eq = a.indexOf('=', i);
            if (eq < 0) {
                break;
            }
            String name = a.substring(i, eq);
            int j = eq + 1;
            if (j < a.length() && a.charAt(j) == '"') {
                j = a.indexOf('"', j + 1);
                j = j < 0 ? a.length() : j + 1;
            } else {
                int comma = a.indexOf(", ", j);
                j = comma < 0 ? a.length() : comma;
            }
            args.put(name, a.substring(eq + 1, j));
            i = j + 2;
        }
        String result = m.group(3);
        boolean ok = result.equals("TRUE") || result.equals("handle") || result.equals("0");
        return new Line(m.group(1), args, ok, m.group(4), m.group(5) != null ? null : m.group(6));
    }

    /** The calls written after a mark, taken apart. */
    List<Line> callsSince(long mark) {
        return callsBetween(mark, -1);
    }

    /** The calls written between two marks (end -1: up to the trace's end), taken apart. */
    List<Line> callsBetween(long mark, long end) {
        List<Line> calls = new ArrayList<>();
        for (String l : linesBetween(mark, end)) {
            Line p = parse(l);
            if (p != null) {
                calls.add(p);
            }
        }
        return calls;
    }

    /**
     * The first reason that says the stored state cannot be used (a damaged
     * database, a home that is no directory), or null. Listing methods pass
     * such failures over silently; the tool must not.
     */
    String storageProblem() {
        if (file.length() == 0) {
            return null;
        }
        for (String l : lines()) {
            Line p = parse(l);
            if (p != null && !p.ok() && p.reason() != null && STORAGE_CAUSES.contains(p.cause())) {
                return p.reason();
            }
        }
        return null;
    }

    /** Every line, for --verbose. */
    void printAll(PrintStream to) {
        for (String line : lines()) {
            to.println("trace: " + line);
        }
    }
}
