package com.qel.varnel.tool;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;

/**
 * The library's typical sequence, step by step, each step printed with its
 * result. Runs in a fresh temporary MSCAPI_HOME (a child JVM) unless one is
 * given, so it never touches the user's own keys and certificates.
 */
final class Demo {
    private final PrintStream out;
    private final String home;
    private int failures;

    Demo(PrintStream out, String home) {
        this.out = out;
        this.home = home;
    }

    int run() throws Exception {
        if (home == null && System.getenv("MSCAPI_DEMO_CHILD") == null) {
            return runInFreshHome();
        }
        out.println("mscapi demo, home " + Main.describeHome());
        steps();
        out.println(failures == 0 ? "demo: every step held" : "demo: " + failures + " step(s) failed");
        return failures == 0 ? Main.OK : Main.FAILED;
    }

    /** Runs the demo again in a child JVM whose MSCAPI_HOME is a new temporary folder. */
    private int runInFreshHome() throws IOException, InterruptedException {
        Path dir = Files.createTempDirectory("mscapi-demo-");
        try {
            List<String> cmd = new ArrayList<>();
            cmd.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
            cmd.add("-Djava.library.path=" + System.getProperty("java.library.path"));
            cmd.add("-cp");
            cmd.add(System.getProperty("java.class.path"));
            cmd.add(Main.class.getName());
            cmd.add("demo");
            ProcessBuilder pb = new ProcessBuilder(cmd).inheritIO();
            pb.environment().put("MSCAPI_HOME", dir.toString());
            pb.environment().put("MSCAPI_DEMO_CHILD", "1");
            return pb.start().waitFor();
        } finally {
            deleteTree(dir);
        }
    }

    static void deleteTree(Path dir) throws IOException {
        try (var paths = Files.walk(dir)) {
            paths.sorted((a, b) -> b.getNameCount() - a.getNameCount()).forEach(p -> p.toFile().delete());
        }
    }

    interface Step {
        String run() throws Exception;
    }

    void step(String title, Step s) {
        out.print("* " + title + ": ");
        try {
            out.println(s.run());
        } catch (Exception e) {
            failures++;
            out.println("FAILED: " + e);
        }
    }

    private void steps() {
        step("library version", () -> {
            int v = Native.getDLLVersion();
            return (v >>> 16) + "." + (v & 0xFFFF);
        });
        step("32 random bytes from the default provider",
                () -> HexFormat.of().formatHex(Native.generateRandom(null, 32)));
        step("16 random bytes from \"Soft Token RSA Provider\"",
                () -> HexFormat.of().formatHex(Native.generateRandom("Soft Token RSA Provider", 16)));
    }
}
