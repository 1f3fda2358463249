package com.qel.varnel.tool;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The emulation's trace of this run, which the launcher points at a private
 * file: one line per platform call, with the reason in words where the
 * emulation knows it. The tool reads the cause of a failure from it.
 */
final class Trace {
    /** "..., last error 0x80090016 (NTE_BAD_KEYSET): container not found". */
    private static final Pattern REASON =
            Pattern.compile(", last error 0x[0-9a-f]{8}(?: \\(\\w+\\))?: (note: )?(.*)$");
    /** Reasons that mean the stored state itself is unusable. */
    private static final Pattern STORAGE = Pattern.compile(
            "^(database damaged|cannot open|cannot write|disk full|database failure|home .* (is not a directory|cannot be created))");

    private final Path file;

    Trace(Path file) {
        this.file = file;
    }

    /** The trace of this run, or null when the tool runs without its launcher. */
    static Trace ofThisRun() {
        String path = System.getProperty("mscapi.trace");
        return path == null || path.isEmpty() ? null : new Trace(Path.of(path));
    }

    List<String> lines() {
        try {
            return Files.readAllLines(file, StandardCharsets.UTF_8);
        } catch (IOException e) {
            return List.of();
        }
    }

    /** The reasons of failed calls, oldest first. */
    List<String> failureReasons() {
        List<String> reasons = new ArrayList<>();
        for (String line : lines()) {
            Matcher m = REASON.matcher(line);
            if (m.find() && m.group(1) == null) {
                reasons.add(m.group(2));
            }
        }
        return reasons;
    }

    /** The last reason a failed call gave, or null. */
    String lastReason() {
        List<String> r = failureReasons();
        return r.isEmpty() ? null : r.get(r.size() - 1);
    }

    /**
     * The first reason that says the stored state cannot be used (a damaged
     * database, a home that is no directory), or null. Listing methods pass
     * such failures over silently; the tool must not.
     */
    String storageProblem() {
        for (String reason : failureReasons()) {
            if (STORAGE.matcher(reason).find()) {
                return reason;
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
