package com.qel.varnel.tool;

import java.io.PrintStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.List;

/**
 * The mscapi command-line tool. Exit codes: 0 success, 1 the library reported
 * a failure (its message goes to stderr), 2 a usage error.
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

    public static void main(String[] args) {
        System.exit(new Main(System.out, System.err).run(args));
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
            usage(err);
            return USAGE;
        }
        String command = args.get(0);
        List<String> rest = new ArrayList<>(args.subList(1, args.size()));
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
            err.println("Try 'mscapi --help'.");
            return USAGE;
        } catch (Exception e) {
            err.println("mscapi: " + e.getMessage());
            String cause = trace == null ? null : trace.lastReason();
            if (cause != null) {
                err.println("mscapi: cause: " + cause);
            }
            return FAILED;
        }
    }

    private int dispatch(String command, List<String> rest) throws Exception {
        {
            switch (command) {
                case "--help":
                case "-h":
                case "help":
                    usage(out);
                    return OK;
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
                case "providers":
                    return new TokenCommands(out).providers(rest);
                case "token":
                    return new TokenCommands(out).run(rest);
                case "keys":
                    return keys(rest);
                case "certs":
                case "addcert":
                case "delcert":
                case "name":
                case "describe":
                    return new CertCommands(out).run(command, rest);
                default:
                    throw new UsageException("unknown command: " + command);
            }
        }
    }

    static void usage(PrintStream s) {
        s.println("Usage: mscapi COMMAND [ARGS]");
        s.println();
        s.println("Commands:");
        s.println("  version                       the native library's version");
        s.println("  random N [--provider NAME]    N random bytes from a provider, as hex");
        s.println("  providers                     the installed RSA providers, the default first");
        s.println("  keys                          every RSA key pair of every provider's containers");
        s.println("  demo [--home DIR]             run the library's typical sequence");
        CertCommands.usage(s);
        KeyCommands.usage(s);
        TokenCommands.usage(s);
        s.println("  check                         check the home: permissions, registry files,");
        s.println("                                databases, every stored key");
        s.println("  token set-unblock-code [--code-file F]");
        s.println("                                set the token family's unblock code (asked");
        s.println("                                without echo; only a salted hash is stored)");
        s.println("  unblock --container C [--spec exchange|signature] [--code-file F]");
        s.println("                                clear a token key's wrong-PIN count (5 wrong");
        s.println("                                PINs in a row block it) with the unblock code");
        s.println("  --help                        this text");
        s.println();
        s.println("Options: --verbose prints the emulation's trace of every platform call.");
        s.println("The emulated machine lives in $MSCAPI_HOME (else $XDG_DATA_HOME/mscapi,");
        s.println("else ~/.local/share/mscapi).");
        s.println();
        s.println("Exit codes: 0 success, 1 failure reported by the library, 2 usage error.");
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

    static void noMore(List<String> args) throws UsageException {
        if (!args.isEmpty()) {
            throw new UsageException("unexpected argument: " + args.get(0));
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
        if (args.size() != 1) {
            throw new UsageException("random needs one length");
        }
        int n;
        try {
            n = Integer.parseInt(args.get(0));
        } catch (NumberFormatException e) {
            throw new UsageException("not a length: " + args.get(0));
        }
        out.println(HexFormat.of().formatHex(Native.generateRandom(provider, n)));
        return OK;
    }

    int demo(List<String> args) throws Exception {
        String home = option(args, "--home");
        noMore(args);
        return new Demo(out, home).run();
    }

    int providers(List<String> args) throws Exception {
        noMore(args);
        List<String> names = Layouts.providers(Native.queryProviders());
        for (int i = 0; i < names.size(); i++) {
            out.println(names.get(i) + (i == 0 ? "    (first: the default when it is installed)" : ""));
        }
        if (names.isEmpty()) {
            out.println("(no RSA provider installed)");
        }
        return OK;
    }

    int keys(List<String> args) throws Exception {
        noMore(args);
        List<Layouts.KeyPair> keys = Layouts.keyPairs(Native.queryKeyPairs());
        for (Layouts.KeyPair k : keys) {
            out.printf("%s | %s | %s | %d bits | e=%d%n", k.provider(), k.container(),
                    k.keySpec() == 1 ? "exchange" : k.keySpec() == 2 ? "signature" : "spec " + k.keySpec(),
                    k.modulus().bitLength(), k.publicExponent());
        }
        if (keys.isEmpty()) {
            out.println("(no key pairs)");
        }
        return OK;
    }

    static String describeHome() {
        String home = System.getenv("MSCAPI_HOME");
        return home != null ? home : "(default location)";
    }
}
