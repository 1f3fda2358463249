package com.qel.varnel.tool;

import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.PrintStream;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.util.HexFormat;
import java.util.List;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.Help.Ansi;
import picocli.CommandLine.Model.ArgSpec;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Model.OptionSpec;
import picocli.CommandLine.Model.PositionalParamSpec;
import picocli.CommandLine.Model.UsageMessageSpec;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;
import picocli.CommandLine.ParseResult;

/**
 * The mscapi command-line tool. Exit codes: 0 success, 1 failure (its cause
 * in words on stderr), 2 a usage error (naming the argument). No Java stack
 * trace ever reaches the user: every failure, the tool's own faults
 * included, ends as one or two lines on stderr.
 *
 * <p>The commands are picocli commands (their options, help texts and the
 * man page and bash completion the build makes come from their
 * annotations). A run builds only the command it runs, so that a short
 * command starts as fast as the JVM.
 */
public final class Main {

    /** The commands by group, in the order the help lists them. */
    static final String[][] GROUPS = {
        {"Information", "version", "providers", "keys", "random", "demo"},
        {"Keys", "genkey", "delkey", "import", "export", "sign", "verify"},
        {"Keys and certificates", "import-pfx", "export-pfx", "req", "selfsign"},
        {"Certificates", "certs", "show", "chain", "addcert", "delcert", "name", "describe"},
        {"The emulated machine", "check", "token", "unblock"},
        {"Help", "help"}};

    /** A new command object for a command name, or null when there is no such command. */
    static Cmd command(String name) {
        switch (name) {
            case "version": return new Version();
            case "providers": return new Listings.Providers();
            case "keys": return new Listings.Keys();
            case "random": return new Random();
            case "demo": return new DemoCommand();
            case "genkey": return new KeyCommands.Genkey();
            case "delkey": return new KeyCommands.Delkey();
            case "import": return new KeyCommands.Import();
            case "export": return new KeyCommands.Export();
            case "sign": return new StreamSign.Sign();
            case "verify": return new StreamSign.Verify();
            case "import-pfx": return new Pfx.ImportPfx();
            case "export-pfx": return new Pfx.ExportPfx();
            case "req": return new CertLife.Req();
            case "selfsign": return new CertLife.Selfsign();
            case "certs": return new Listings.Certs();
            case "show": return new Chains.Show();
            case "chain": return new Chains.ChainCommand();
            case "addcert": return new CertCommands.Addcert();
            case "delcert": return new CertCommands.Delcert();
            case "name": return new CertCommands.Name();
            case "describe": return new CertCommands.Describe();
            case "check": return new Check();
            case "token": return new TokenCommands.Token();
            case "unblock": return new Unblock();
            case "help": return new HelpCommand();
            default: return null;
        }
    }

    /**
     * The commands that take no required arguments and need nothing from
     * picocli but their fields: given alone (`mscapi version`), such a
     * command runs with its fields as they start, which is all picocli would
     * do with an empty argument list, without building its parser (the
     * annotations' reflection is most of a short run's start-up).
     * {@link #aloneMismatches()} checks the list against the annotations.
     */
    static final java.util.Set<String> ALONE = java.util.Set.of("version", "providers", "keys", "random", "demo",
            "genkey", "delkey", "export", "export-pfx", "req", "selfsign", "token", "help");

    /** The commands of ALONE that picocli would not run alone as they are: empty when the list holds. */
    static List<String> aloneMismatches() {
        List<String> wrong = new java.util.ArrayList<>();
        for (String name : ALONE) {
            CommandLine cl = commandLine(List.of(name), System.out, System.err).getSubcommands().get(name);
            CommandSpec spec = cl.getCommandSpec();
            boolean required = false;
            for (PositionalParamSpec p : spec.positionalParameters()) {
                required |= p.required();
            }
            for (OptionSpec o : spec.options()) {
                required |= o.required();
            }
            if (required || spec.userObject().getClass().getSuperclass() == AdminCommand.class) {
                wrong.add(name);
            }
        }
        return wrong;
    }

    static final String[] ENVIRONMENT = {
        "MSCAPI_HOME", "the emulated machine's state: registry, key containers (keys.db), certificate "
            + "stores (certs.db); default $XDG_DATA_HOME/mscapi, else ~/.local/share/mscapi",
        "JAVA_HOME", "the Java runtime to use (else java on the PATH)",
        "MSCAPI_JAVA_OPTS", "more options for the JVM",
        "MSCAPI_CDS", "0 turns off the class-data-sharing archive the launcher keeps in "
            + "$XDG_CACHE_HOME/mscapi (else ~/.cache/mscapi)"};

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
                Runtime.getRuntime().halt(Exit.FAILED);
            }
        });
        int rc;
        try {
            rc = new Main(out, err).run(args);
        } catch (Throwable t) {
            String words = Causes.ofTool(t);
            err.println("mscapi: " + (words != null ? words : internal(t)));
            rc = Exit.FAILED;
        }
        out.flush();
        err.flush();
        int code = out.checkError() && rc == Exit.OK ? Exit.FAILED : rc;
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

    // ---- the command line ----------------------------------------------------

    /** The tool itself: the options that come before the command. */
    @Command(name = "mscapi", versionProvider = ToolVersion.class,
            customSynopsis = "mscapi COMMAND [ARGS]          mscapi help COMMAND for one command",
            description = "mscapi puts RSA keys and certificates into the emulated Windows cryptographic platform "
                    + "that the mscapi library runs on under Linux, lists them, and signs with them. Every operation "
                    + "goes through the library's methods, as any application's would.")
    static final class Tool {
        @Option(names = {"-h", "--help"}, usageHelp = true, description = "Print the help of the command it "
                + "follows (or of the tool).")
        boolean help;

        @Option(names = {"-V", "--version"}, versionHelp = true, description = "Print the versions of the tool, "
                + "its library and the Java runtime.")
        boolean version;

        @Option(names = "--verbose", description = "Print the emulation's trace of every platform call the command "
                + "made.")
        boolean verbose;
    }

    /**
     * The command line for the tool with the named commands, or every command
     * when names is null. Arguments are taken as they are: no @file expansion.
     */
    static CommandLine commandLine(List<String> names, PrintStream out, PrintStream err) {
        CommandLine root = new CommandLine(new Tool(), Factory.create());
        for (String[] group : GROUPS) {
            for (int i = 1; i < group.length; i++) {
                if (names == null || names.contains(group[i])) {
                    root.addSubcommand(group[i], command(group[i]));
                }
            }
        }
        root.setExpandAtFiles(false);
        root.setOut(new PrintWriter(out, true));
        root.setErr(new PrintWriter(err, true));
        layout(root);
        return root;
    }

    /**
     * Makes the objects picocli asks for (nested commands, completion
     * candidates) with their constructors. picocli's own factory first looks
     * for Groovy's classes, and a class the JVM cannot find is looked for in
     * every jar of the class path: milliseconds of every run.
     */
    static final class Factory implements CommandLine.IFactory {
        /**
         * Made here, not where the command line is: a class that uses one of
         * picocli's types in place of another has the JVM load both when it
         * links, and Main runs the commands given alone without picocli.
         */
        static CommandLine.IFactory create() {
            return new Factory();
        }

        @Override
        public <K> K create(Class<K> cls) throws Exception {
            if (cls.isInterface()) {
                return CommandLine.defaultFactory().create(cls);
            }
            java.lang.reflect.Constructor<K> c = cls.getDeclaredConstructor();
            c.setAccessible(true);
            return c.newInstance();
        }
    }

    /** The help layout of every command: usage, summary, description, arguments, options. */
    private static void layout(CommandLine cl) {
        if (cl.getParent() == null) {
            cl.getHelpSectionMap().put("overview", new CommandLine.IHelpSectionRenderer() {
                @Override
                public String render(CommandLine.Help help) {
                    return overview(cl);
                }
            });
            cl.setHelpSectionKeys(List.of("overview"));
            for (CommandLine sub : cl.getSubcommands().values()) {
                layout(sub);
            }
            return;
        }
        UsageMessageSpec u = cl.getCommandSpec().usageMessage();
        u.descriptionHeading("%n").parameterListHeading("%nArguments:%n").optionListHeading("%nOptions:%n")
                .commandListHeading("%nCommands:%n");
        // The synopsis as written (picocli would wrap it), then the summary as a sentence.
        cl.getHelpSectionMap().put("usage", new CommandLine.IHelpSectionRenderer() {
            @Override
            public String render(CommandLine.Help help) {
                return "Usage: " + String.join("\n", u.customSynopsis()) + "\n\n" + summary(cl.getCommandSpec())
                        + "\n";
            }
        });
        cl.setHelpSectionKeys(List.of("usage", UsageMessageSpec.SECTION_KEY_DESCRIPTION_HEADING,
                UsageMessageSpec.SECTION_KEY_DESCRIPTION, UsageMessageSpec.SECTION_KEY_PARAMETER_LIST_HEADING,
                UsageMessageSpec.SECTION_KEY_PARAMETER_LIST, UsageMessageSpec.SECTION_KEY_OPTION_LIST_HEADING,
                UsageMessageSpec.SECTION_KEY_OPTION_LIST, UsageMessageSpec.SECTION_KEY_COMMAND_LIST_HEADING,
                UsageMessageSpec.SECTION_KEY_COMMAND_LIST));
        for (CommandLine sub : cl.getSubcommands().values()) {
            layout(sub);
        }
    }

    /** A command's one-line summary as a sentence. */
    static String summary(CommandSpec spec) {
        String h = spec.usageMessage().header()[0];
        return Character.toUpperCase(h.charAt(0)) + h.substring(1) + ".";
    }

    /** The command list of --help (the man page and the completion offer the same). */
    static String commandList(CommandLine root) {
        StringBuilder s = new StringBuilder();
        for (String[] group : GROUPS) {
            if (s.length() > 0) {
                s.append('\n');
            }
            s.append(group[0]).append(":\n");
            for (int i = 1; i < group.length; i++) {
                UsageMessageSpec u = root.getSubcommands().get(group[i]).getCommandSpec().usageMessage();
                for (String line : u.customSynopsis()) {
                    s.append(line.startsWith("mscapi ") ? "  " + line : line).append('\n');
                }
                s.append("        ").append(u.header()[0]).append('\n');
            }
        }
        return s.toString();
    }

    private static String overview(CommandLine root) {
        StringBuilder s = new StringBuilder();
        s.append("Usage: ").append(root.getCommandSpec().usageMessage().customSynopsis()[0]).append("\n\n");
        s.append(commandList(root)).append('\n');
        s.append("Options for every command: --verbose prints the emulation's trace of every\n");
        s.append("platform call; --help prints the command's help.\n\n");
        s.append("Environment:\n");
        for (int i = 0; i < ENVIRONMENT.length; i += 2) {
            s.append("  ").append(ENVIRONMENT[i]).append('\n');
            s.append(wrap(ENVIRONMENT[i + 1], "      "));
        }
        s.append('\n');
        s.append("The emulated machine lives in $MSCAPI_HOME; when it is unset, in\n");
        s.append("$XDG_DATA_HOME/mscapi, else ~/.local/share/mscapi (now: ").append(Admin.describeHome()).append(").\n");
        s.append("Exit codes: 0 success, 1 failure, 2 usage error, 4 a certificate sign --strict refuses.\n");
        return s.toString();
    }

    /** Text word-wrapped at 78 columns, each line after indent. */
    static String wrap(String text, String indent) {
        StringBuilder s = new StringBuilder();
        StringBuilder line = new StringBuilder(indent);
        for (String word : text.split(" ")) {
            if (line.length() > indent.length() && line.length() + 1 + word.length() > 78) {
                s.append(line).append('\n');
                line = new StringBuilder(indent);
            }
            if (line.length() > indent.length()) {
                line.append(' ');
            }
            line.append(word);
        }
        if (line.length() > indent.length()) {
            s.append(line).append('\n');
        }
        return s.toString();
    }

    /** The first argument that is not an option: the command's name, or null. */
    private static String commandName(String[] args) {
        for (String a : args) {
            if (!a.startsWith("-")) {
                return a;
            }
        }
        return null;
    }

    int run(String[] args) {
        Trace trace = Trace.ofThisRun();
        if (args.length == 0) {
            err.println("Usage: mscapi COMMAND [ARGS]; mscapi --help lists the commands.");
            return Exit.USAGE;
        }
        String name = commandName(args);
        if (name != null && command(name) == null) {
            err.println("mscapi: unknown command \"" + name + "\" (see mscapi --help)");
            err.println("Try 'mscapi --help'.");
            return Exit.USAGE;
        }
        if (args.length == 1 && name != null && ALONE.contains(name)) {
            Cmd command = command(name);
            command.out = out;
            command.err = err;
            return call(command, name, trace);
        }
        CommandLine root = commandLine(name == null ? null : List.of(name), out, err);
        ParseResult parsed;
        try {
            parsed = Parser.parse(root, args);
        } catch (ToolError e) {
            return usageError(e, name);
        }
        boolean verbose = false;
        ParseResult leaf = parsed;
        for (ParseResult p = parsed; p != null; p = p.subcommand()) {
            verbose |= p.hasMatchedOption("--verbose");
            if (p.isUsageHelpRequested()) {
                p.commandSpec().commandLine().usage(out, Ansi.OFF);
                return Exit.OK;
            }
            leaf = p;
        }
        if (parsed.isVersionHelpRequested()) {
            root.printVersionHelp(out, Ansi.OFF);
            return Exit.OK;
        }
        if (leaf == parsed) {
            err.println("Usage: mscapi COMMAND [ARGS]; mscapi --help lists the commands.");
            return Exit.USAGE;
        }
        Cmd command = (Cmd) leaf.commandSpec().userObject();
        command.out = out;
        command.err = err;
        int rc = call(command, name, trace);
        if (verbose && trace != null) {
            trace.printAll(err);
        }
        return rc;
    }

    private int call(Cmd command, String name, Trace trace) {
        try {
            int rc = command.call();
            // Listings pass over what they cannot read; a home whose
            // databases cannot be used is a failure all the same.
            String problem = trace == null ? null : trace.storageProblem();
            if (rc == Exit.OK && problem != null) {
                err.println("mscapi: " + problem);
                return Exit.FAILED;
            }
            return rc;
        } catch (ToolError e) {
            if (e.exitCode == Exit.USAGE) {
                return usageError(e, name);
            }
            fail(e.getMessage());
            return e.exitCode;
        } catch (Native.LibraryException e) {
            String cause = trace == null ? null : Causes.explain(trace.callsBetween(e.traceMark, e.traceEnd));
            if (cause != null) {
                err.println("mscapi: " + cause);
                err.println("mscapi: (the library's message: " + e.getMessage() + ")");
            } else {
                err.println("mscapi: " + e.getMessage());
            }
            return Exit.FAILED;
        } catch (Exception e) {
            String words = Causes.ofTool(e);
            return fail(words != null ? words
                    : e.getMessage() != null && !e.getMessage().isEmpty() ? e.getMessage() : internal(e));
        }
    }

    private int fail(String words) {
        err.println("mscapi: " + words);
        return Exit.FAILED;
    }

    private int usageError(ToolError e, String name) {
        err.println("mscapi: " + e.getMessage());
        err.println(name != null && command(name) != null ? "Try 'mscapi help " + name + "'." : "Try 'mscapi --help'.");
        return Exit.USAGE;
    }

    /** picocli's parse, apart from run() for the same reason as Factory.create. */
    static final class Parser {
        static ParseResult parse(CommandLine root, String[] args) throws ToolError {
            try {
                return root.parseArgs(args);
            } catch (CommandLine.ParameterException e) {
                throw ToolError.usage(words(e));
            }
        }
    }

    /** A command line picocli could not take, in the tool's words. */
    static String words(CommandLine.ParameterException e) {
        if (e instanceof CommandLine.UnmatchedArgumentException u && !u.getUnmatched().isEmpty()) {
            String a = u.getUnmatched().get(0);
            return a.startsWith("-") && a.length() > 1 ? "unknown option \"" + a + "\""
                    : "unexpected argument \"" + a + "\"";
        }
        ArgSpec arg = e.getArgSpec();
        if (e instanceof CommandLine.MissingParameterException m && !m.getMissing().isEmpty()) {
            arg = m.getMissing().get(0);
            String cmd = arg.command().qualifiedName(" ").replaceFirst("^mscapi ", "");
            if (arg instanceof PositionalParamSpec p) {
                String label = p.paramLabel();
                return cmd + " needs " + ("AEFHILMNORSX".indexOf(label.charAt(0)) >= 0 && label.length() == 1
                        || "AEIOU".indexOf(label.charAt(0)) >= 0 ? "an " : "a ") + label;
            }
        }
        if (arg instanceof OptionSpec o && e.getMessage().matches("(?s)(Missing required parameter for option|"
                + "Expected parameter for option).*")) {
            return o.longestName() + " needs a value";
        }
        String m = e.getMessage();
        return m.isEmpty() ? m : Character.toLowerCase(m.charAt(0)) + m.substring(1);
    }

    // ---- commands of this class ----------------------------------------------

    /** The versions of the tool, its library and the Java runtime (--version). */
    static final class ToolVersion implements CommandLine.IVersionProvider {
        @Override
        public String[] getVersion() {
            String library;
            try {
                int v = Native.getDLLVersion();
                library = (v >>> 16) + "." + (v & 0xFFFF) + " (" + v + ")";
            } catch (Throwable t) {
                library = "not loaded: " + t.getMessage();
            }
            return new String[] {"mscapi, the command-line tool of the mscapi library", "library: " + library,
                "java:    " + System.getProperty("java.vm.name") + " " + System.getProperty("java.version") + " at "
                        + System.getProperty("java.home"),
                "home:    " + Admin.describeHome()};
        }
    }

    @Command(name = "version", header = "the native library's version", customSynopsis = "mscapi version")
    static final class Version extends Cmd {
        @Override
        public Integer call() throws Exception {
            int v = Native.getDLLVersion();
            out.println("mscapi " + (v >>> 16) + "." + (v & 0xFFFF) + " (" + v + ")");
            return Exit.OK;
        }
    }

    @Command(name = "random", header = "N random bytes from a provider, as hex",
            customSynopsis = "mscapi random N [--provider P]")
    static final class Random extends Cmd {
        @Parameters(index = "0", arity = "0..1", paramLabel = "N", description = "How many bytes.")
        String length;

        @Option(names = "--provider", paramLabel = "P", description = "The provider (default: the machine's "
                + "default RSA provider).")
        String provider;

        @Override
        public Integer call() throws Exception {
            if (length == null) {
                throw ToolError.usage("random needs one length N");
            }
            int n;
            try {
                n = Integer.parseInt(length);
            } catch (NumberFormatException e) {
                throw ToolError.usage("not a length: \"" + length + "\"");
            }
            out.println(HexFormat.of().formatHex(Native.generateRandom(provider, n)));
            return Exit.OK;
        }
    }

    @Command(name = "demo", header = "run the library's typical sequence, step by step",
            customSynopsis = "mscapi demo [--home DIR]",
            description = "Runs in a fresh temporary MSCAPI_HOME unless --home says otherwise; exits 0 only when "
                    + "every step held.")
    static final class DemoCommand extends Cmd {
        @Option(names = "--home", paramLabel = "DIR", description = "Run in DIR as MSCAPI_HOME.")
        String home;

        @Override
        public Integer call() throws Exception {
            return new Demo(out, home, Main.class, (to, args) -> new Main(to, to).run(args)).run();
        }
    }

    @Command(name = "help", header = "this text, or one command's details", customSynopsis = "mscapi help [COMMAND]",
            description = "Also: mscapi COMMAND --help, mscapi --version.")
    static final class HelpCommand extends Cmd {
        @Parameters(index = "0", arity = "0..1", paramLabel = "COMMAND", description = "The command.")
        String name;

        @Override
        public Integer call() throws Exception {
            if (name == null) {
                commandLine(null, out, err).usage(out, Ansi.OFF);
                return Exit.OK;
            }
            if (command(name) == null) {
                throw ToolError.usage("no command \"" + name + "\" (see mscapi --help)");
            }
            commandLine(List.of(name), out, err).getSubcommands().get(name).usage(out, Ansi.OFF);
            return Exit.OK;
        }
    }

    @Command(name = "check", header = "check the home: permissions, registry files, databases, every stored key",
            customSynopsis = "mscapi check [--json]",
            description = "Exit code 1 when a problem is found. --json prints {\"home\", \"problems\", \"findings\": "
                    + "[{\"level\": \"ok\"|\"info\"|\"problem\", \"text\"}, ...]}.")
    static final class Check extends AdminCommand {
        @Option(names = "--json", description = "Print one JSON document.")
        boolean json;
    }

    @Command(name = "unblock", header = "clear a token key's wrong-PIN count with the unblock code",
            customSynopsis = "mscapi unblock --container C [--spec exchange|signature] [--code-file F]",
            description = "5 wrong PINs in a row block a token key; 10 wrong unblock codes block the code itself. "
                    + "For a PKCS#11 token, C is a container's full name or \\\\.\\TOKEN alone: it clears the count "
                    + "of wrong PINs handed to that token, after 5 of which no more are.")
    static final class Unblock extends AdminCommand {
        @Option(names = "--container", paramLabel = "C", description = "The token key's container, or a PKCS#11 token's (\\\\.\\TOKEN\\NAME).")
        String container;

        @Option(names = "--spec", paramLabel = "S", completionCandidates = Options.Specs.class,
                description = "The key's spec: exchange or signature (default).")
        String spec;

        @Option(names = "--code-file", paramLabel = "F", description = "Read the unblock code from the first line "
                + "of F.")
        String codeFile;
    }

}
