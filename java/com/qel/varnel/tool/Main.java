package com.qel.varnel.tool;

import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.List;
import java.util.Map;

/**
 * The mscapi command-line tool. Exit codes: 0 success, 1 failure (its cause
 * in words on stderr), 2 a usage error (naming the argument). No Java stack
 * trace ever reaches the user: every failure, the tool's own faults
 * included, ends as one or two lines on stderr.
 */
public final class Main {
    static final int OK = 0;
    static final int FAILED = 1;
    static final int USAGE = 2;

    private final PrintStream out;
    private final PrintStream err;

    Main(PrintStream out, PrintStream err) {
        this.out = out;
        this.err = err;
    }

    /**
     * Standard output or error in the locale's charset, or UTF-8 where the
     * locale says ASCII (LANG=C), which would print every other character
     * as '?'.
     */
    static PrintStream utf8(FileDescriptor fd) {
        java.nio.charset.Charset cs = StandardCharsets.UTF_8;
        try {
            java.nio.charset.Charset nat = java.nio.charset.Charset.forName(System.getProperty("native.encoding"));
            if (!nat.equals(StandardCharsets.US_ASCII)) {
                cs = nat;
            }
        } catch (RuntimeException e) {
            // no such property or charset: UTF-8
        }
        return new PrintStream(new FileOutputStream(fd), true, cs);
    }

    public static void main(String[] args) {
        PrintStream out = utf8(FileDescriptor.out);
        PrintStream err = utf8(FileDescriptor.err);
        System.setOut(out);
        System.setErr(err);
        Trace.deleteAtExit();
        // A fault in another thread (a progress display) ends the run in one line too.
        Thread.setDefaultUncaughtExceptionHandler(new Thread.UncaughtExceptionHandler() {
            @Override
            public void uncaughtException(Thread t, Throwable e) {
                err.println("mscapi: " + internal(e));
                err.flush();
                Runtime.getRuntime().halt(FAILED);
            }
        });
        int rc;
        try {
            rc = new Main(out, err).run(args);
        } catch (Throwable t) {
            String words = Causes.ofTool(t);
            err.println("mscapi: " + (words != null ? words : internal(t)));
            rc = FAILED;
        }
        out.flush();
        err.flush();
        int code = out.checkError() && rc == OK ? FAILED : rc;
        // halt, not exit: the run's output is flushed and its trace deleted
        // here, and Java 21 and later would set up java.util.logging inside
        // System.exit to log the call (30 ms of a 70 ms run).
        Trace.deleteNow();
        Runtime.getRuntime().halt(code);
    }

    /** A fault of the tool itself, in one line: what it was and where. */
    static String internal(Throwable t) {
        StackTraceElement[] at = t.getStackTrace();
        String where = at.length > 0 ? " at " + at[0].getClassName() + "." + at[0].getMethodName() + ":"
                + at[0].getLineNumber() : "";
        return "internal error: " + t.getClass().getName() + (t.getMessage() != null ? ": " + t.getMessage() : "")
                + where + " (please report it)";
    }

    /** Thrown for a command line the tool cannot understand. */
    static final class UsageException extends Exception {
        private static final long serialVersionUID = 1L;

        UsageException(String message) {
            super(message);
        }
    }

    int run(String[] args) {
        List<String> all = new ArrayList<>(Arrays.asList(args));
        boolean verbose = all.remove("--verbose");
        Trace trace = Trace.ofThisRun();
        int rc = runCommand(all, trace);
        if (verbose && trace != null) {
            trace.printAll(err);
        }
        return rc;
    }

    private int runCommand(List<String> args, Trace trace) {
        if (args.isEmpty()) {
            err.println("Usage: mscapi COMMAND [ARGS]; mscapi --help lists the commands.");
            return USAGE;
        }
        String command = args.get(0);
        List<String> rest = new ArrayList<>(args.subList(1, args.size()));
        if (Help.find(command) != null && (rest.contains("--help") || rest.contains("-h"))) {
            Help.command(out, Help.find(command));
            return OK;
        }
        try {
            int rc = dispatch(command, rest);
            // Listings pass over what they cannot read; a home whose
            // databases cannot be used is a failure all the same.
            String problem = trace == null ? null : trace.storageProblem();
            if (rc == OK && problem != null) {
                err.println("mscapi: " + problem);
                return FAILED;
            }
            return rc;
        } catch (UsageException e) {
            err.println("mscapi: " + e.getMessage());
            err.println(Help.find(command) != null ? "Try 'mscapi help " + command + "'." : "Try 'mscapi --help'.");
            return USAGE;
        } catch (Native.LibraryException e) {
            String cause = trace == null ? null : Causes.explain(trace.callsSince(e.traceMark));
            if (cause != null) {
                err.println("mscapi: " + cause);
                err.println("mscapi: (the library's message: " + e.getMessage() + ")");
            } else {
                err.println("mscapi: " + e.getMessage());
            }
            return FAILED;
        } catch (Exception e) {
            String words = Causes.ofTool(e);
            err.println("mscapi: " + (words != null ? words
                    : e.getMessage() != null && !e.getMessage().isEmpty() ? e.getMessage() : internal(e)));
            return FAILED;
        }
    }

    private int dispatch(String command, List<String> rest) throws Exception {
        {
            switch (command) {
                case "--help":
                case "-h":
                case "help":
                    return help(rest);
                case "--version":
                case "-V":
                    return toolVersion(rest);
                case "version":
                    return version(rest);
                case "random":
                    return random(rest);
                case "demo":
                    return demo(rest);
                case "genkey":
                    return new KeyCommands(out).genkey(rest);
                case "delkey":
                    return new KeyCommands(out).delkey(rest);
                case "import":
                    return new KeyCommands(out).importKey(rest);
                case "export":
                    return new KeyCommands(out).export(rest);
                case "sign":
                    return new KeyCommands(out).sign(rest);
                case "verify": return new KeyCommands(out).verify(rest);
                case "import-pfx": return new Pfx(out).importPfx(rest);
                case "export-pfx": return new Pfx(out).exportPfx(rest);
                case "req": return new CertLife(out).req(rest);
                case "selfsign": return new CertLife(out).selfsign(rest);
                case "providers":
                    return new Listings(out).providers(rest);
                case "token":
                    return new TokenCommands(out).run(rest);
                case "check":
                case "unblock":
                    rest.add(0, command);
                    return Admin.pass(rest);
                case "keys":
                    return new Listings(out).keys(rest);
                case "certs":
                    return new Listings(out).certs(rest);
                case "addcert":
                case "delcert":
                case "name":
                case "describe":
                    return new CertCommands(out).run(command, rest);
                default:
                    throw new UsageException("unknown command \"" + command + "\" (see mscapi --help)");
            }
        }
    }

    int help(List<String> args) throws UsageException {
        if (args.isEmpty()) {
            Help.overview(out);
            return OK;
        }
        Help.Command c = Help.find(args.get(0));
        if (c == null) {
            throw new UsageException("no command \"" + args.get(0) + "\" (see mscapi --help)");
        }
        args.remove(0);
        noMore(args);
        Help.command(out, c);
        return OK;
    }

    int toolVersion(List<String> args) throws UsageException {
        noMore(args);
        String library;
        try {
            int v = Native.getDLLVersion();
            library = (v >>> 16) + "." + (v & 0xFFFF) + " (" + v + ")";
        } catch (Throwable t) {
            library = "not loaded: " + t.getMessage();
        }
        out.println("mscapi, the command-line tool of the mscapi library");
        out.println("library: " + library);
        out.println("java:    " + System.getProperty("java.vm.name") + " " + System.getProperty("java.version")
                + " at " + System.getProperty("java.home"));
        out.println("home:    " + describeHome());
        return OK;
    }

    /** Removes "--name value" from args and returns value, or null when absent. */
    static String option(List<String> args, String name) throws UsageException {
        int i = args.indexOf(name);
        if (i < 0) {
            return null;
        }
        if (i + 1 >= args.size()) {
            throw new UsageException(name + " needs a value");
        }
        String value = args.get(i + 1);
        args.remove(i + 1);
        args.remove(i);
        return value;
    }

    /** Fails on the first argument left over, naming it. */
    static void noMore(List<String> args) throws UsageException {
        if (!args.isEmpty()) {
            String a = args.get(0);
            throw new UsageException(a.startsWith("-") && a.length() > 1 ? "unknown option \"" + a + "\""
                    : "unexpected argument \"" + a + "\"");
        }
    }

    int version(List<String> args) throws Exception {
        noMore(args);
        int v = Native.getDLLVersion();
        out.println("mscapi " + (v >>> 16) + "." + (v & 0xFFFF) + " (" + v + ")");
        return OK;
    }

    int random(List<String> args) throws Exception {
        String provider = option(args, "--provider");
        if (args.isEmpty()) {
            throw new UsageException("random needs one length N");
        }
        int n;
        try {
            n = Integer.parseInt(args.get(0));
        } catch (NumberFormatException e) {
            throw new UsageException("not a length: \"" + args.get(0) + "\"");
        }
        args.remove(0);
        noMore(args);
        out.println(HexFormat.of().formatHex(Native.generateRandom(provider, n)));
        return OK;
    }

    int demo(List<String> args) throws Exception {
        String home = option(args, "--home");
        noMore(args);
        return new Demo(out, home).run();
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
}
