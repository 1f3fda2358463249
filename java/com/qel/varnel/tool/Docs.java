package com.qel.varnel.tool;

import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.Locale;
import picocli.AutoComplete;
import picocli.CommandLine;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Model.OptionSpec;
import picocli.CommandLine.Model.PositionalParamSpec;
import picocli.CommandLine.Model.UsageMessageSpec;

/**
 * For the build: the man page mscapi(1) in roff and the bash completion,
 * both from the commands' picocli model (the man page from each command's
 * synopsis, summary, description and options; the completion by picocli's
 * AutoComplete), so they never disagree with the help. Loading this class
 * loads no native library.
 */
public final class Docs {
    private Docs() {
    }

    /** Text escaped for roff: backslashes, hyphens, leading dots and quotes. */
    static String roff(String t) {
        String r = t.replace("\\", "\\e").replace("-", "\\-");
        if (r.startsWith(".") || r.startsWith("'")) {
            r = "\\&" + r;
        }
        return r;
    }

    private static String joined(String[] lines) {
        return String.join(" ", lines).replaceAll(" +", " ").trim();
    }

    /** One command: its synopsis as the tag, then what it does and its arguments and options. */
    private static void command(PrintStream s, CommandSpec spec) {
        UsageMessageSpec u = spec.usageMessage();
        s.println(".TP");
        s.println(".B " + roff(joined(u.customSynopsis())));
        s.println(roff(Main.summary(spec)));
        if (u.description().length > 0) {
            s.println(roff(joined(u.description())));
        }
        boolean any = false;
        for (PositionalParamSpec p : spec.positionalParameters()) {
            any = item(s, any, "\\fI" + roff(p.paramLabel()) + "\\fR", p.description());
        }
        for (OptionSpec o : spec.options()) {
            if (o.usageHelp() || o.longestName().equals("--verbose")) {
                continue;
            }
            String tag = "\\fB" + roff(o.longestName()) + "\\fR"
                    + (o.typeInfo().isBoolean() ? "" : " \\fI" + roff(o.paramLabel()) + "\\fR");
            any = item(s, any, tag, o.description());
        }
        if (any) {
            s.println(".RE");
        }
        for (CommandLine sub : spec.subcommands().values()) {
            command(s, sub.getCommandSpec());
        }
    }

    private static boolean item(PrintStream s, boolean open, String tag, String[] description) {
        if (!open) {
            s.println(".RS");
        }
        s.println(".TP");
        s.println(tag);
        s.println(roff(joined(description)));
        return true;
    }

    static void man(PrintStream s, CommandLine root, String version) {
        CommandSpec tool = root.getCommandSpec();
        s.println(".\\\" Generated from the tool's picocli commands (com.qel.varnel.tool.Docs); do not edit.");
        s.println(".TH MSCAPI 1 \"\" \"mscapi " + version + "\" \"User Commands\"");
        s.println(".SH NAME");
        s.println("mscapi \\- keys, certificates and signatures through the mscapi library");
        s.println(".SH SYNOPSIS");
        s.println(".B mscapi");
        s.println(".I COMMAND");
        s.println("[\\fIARGS\\fR]");
        s.println(".br");
        s.println(".B mscapi help");
        s.println("[\\fICOMMAND\\fR]");
        s.println(".br");
        s.println(".B mscapi \\-\\-version");
        s.println(".SH DESCRIPTION");
        s.println(roff(joined(tool.usageMessage().description())));
        for (String[] group : Main.GROUPS) {
            s.println(".SH " + roff(group[0].toUpperCase(Locale.ROOT)));
            for (int i = 1; i < group.length; i++) {
                command(s, root.getSubcommands().get(group[i]).getCommandSpec());
            }
        }
        s.println(".SH OPTIONS");
        for (OptionSpec o : tool.options()) {
            s.println(".TP");
            s.println(".B " + roff(o.longestName()));
            s.println(roff(joined(o.description())));
        }
        s.println(".SH ENVIRONMENT");
        for (int i = 0; i < Main.ENVIRONMENT.length; i += 2) {
            String text = Main.ENVIRONMENT[i + 1];
            s.println(".TP");
            s.println(".B " + Main.ENVIRONMENT[i]);
            s.println(roff(Character.toUpperCase(text.charAt(0)) + text.substring(1) + "."));
        }
        s.println(".SH FILES");
        s.println(".TP");
        s.println(".I $MSCAPI_HOME/registry/*.reg");
        s.println("The registered providers, in the Windows .reg format.");
        s.println(".TP");
        s.println(".I $MSCAPI_HOME/keys.db");
        s.println("The key containers (SQLite).");
        s.println(".TP");
        s.println(".I $MSCAPI_HOME/certs.db");
        s.println("The certificate stores (SQLite).");
        s.println(".SH EXIT STATUS");
        s.println("0 success, 1 failure (its cause is printed on standard error), 2 usage error, 4 a certificate "
                + "that sign --strict refuses (expired, not yet valid, or not for signatures).");
        s.println(".SH SEE ALSO");
        s.println(".BR openssl (1),");
        s.println(".BR keytool (1)");
    }

    /** Writes the man page (man VERSION FILE) or the bash completion (completion FILE). */
    public static void main(String[] args) throws java.io.IOException {
        CommandLine root = Main.commandLine(null, System.out, System.err);
        if (args.length == 3 && args[0].equals("man")) {
            try (PrintStream out = new PrintStream(args[2], StandardCharsets.UTF_8)) {
                man(out, root, args[1]);
            }
        } else if (args.length == 2 && args[0].equals("completion")) {
            try (PrintStream out = new PrintStream(args[1], StandardCharsets.UTF_8)) {
                out.print(AutoComplete.bash("mscapi", root));
            }
        } else {
            System.err.println("usage: Docs man VERSION FILE | completion FILE");
            System.exit(2);
        }
    }
}
