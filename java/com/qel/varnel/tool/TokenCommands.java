package com.qel.varnel.tool;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;

/**
 * `mscapi token init` (a SoftHSM2 token in the home's token store, which
 * mscapi-admin makes and registers as a provider), `mscapi token register`
 * (the registration alone, for tokens made there with SoftHSM2's and
 * OpenSC's own tools), `mscapi token
 * set-unblock-code` (mscapi-admin's), and the words `mscapi providers` shows
 * for each provider's family and, for PKCS#11 modules, their tokens.
 */
final class TokenCommands {
    static final String SOFTHSM_PROVIDER = "SoftHSM2 Token RSA Provider";

    private final PrintStream out;

    TokenCommands(PrintStream out) {
        this.out = out;
    }

    @Command(name = "token", header = "make or register SoftHSM2 tokens in the home, or set the token family's "
            + "unblock code",
            customSynopsis = {"mscapi token init --label L [--so-pin-file F] [--pin-file F] [--pin-prompt PROG]",
                "           | token register [--pin-prompt PROG]",
                "           | token set-unblock-code [--old-code-file F] [--code-file F]"},
            description = "init makes a SoftHSM2 token labelled L in $MSCAPI_HOME/softhsm and registers it as a "
                    + "PKCS#11 provider whose PIN prompt asks on the terminal (or runs PROG), with SOFTHSM2_CONF "
                    + "naming the store as its \"Environment\" (set for the module unless the caller set it); "
                    + "the SO PIN and the user PIN are asked twice without echo, or read from the first line of "
                    + "--so-pin-file and --pin-file. register makes the store when missing and the same "
                    + "registration, for tokens made in the store with SoftHSM2's and OpenSC's own tools "
                    + "(softhsm2-util, pkcs11-tool with SOFTHSM2_CONF=$MSCAPI_HOME/softhsm/softhsm2.conf). "
                    + "set-unblock-code: the code is asked twice without echo, or "
                    + "read from the first line of --code-file; only a salted hash is stored. Once a code is set, only "
                    + "the current one changes it (--old-code-file, or asked); wrong ones count towards the 10 "
                    + "that block the code, which then can never be changed.",
            subcommands = {Init.class, Register.class, SetUnblockCode.class})
    static final class Token extends Cmd {
        @Override
        public Integer call() throws Exception {
            throw ToolError.usage("token needs a subcommand: init, register or set-unblock-code");
        }
    }

    @Command(name = "init", header = "make a SoftHSM2 token in the home, registered as a provider",
            customSynopsis = "mscapi token init --label L [--so-pin-file F] [--pin-file F] [--pin-prompt PROG]")
    static final class Init extends Cmd {
        @Option(names = "--label", paramLabel = "L", description = "The token's label.")
        String label;

        @Option(names = "--so-pin-file", paramLabel = "F", description = "Read the SO PIN from the first line of F.")
        String soPinFile;

        @Option(names = "--pin-file", paramLabel = "F", description = "Read the user PIN from the first line of F.")
        String pinFile;

        @Option(names = "--pin-prompt", paramLabel = "PROG", description = "The program that asks for the PIN "
                + "(default: one that asks on the terminal).")
        String prompt;

        @Override
        public Integer call() throws Exception {
            return new TokenCommands(out).init(label, soPinFile, pinFile, prompt);
        }
    }

    @Command(name = "register", header = "register the home's SoftHSM2 token store as a provider",
            customSynopsis = "mscapi token register [--pin-prompt PROG]")
    static final class Register extends Cmd {
        @Option(names = "--pin-prompt", paramLabel = "PROG", description = "The program that asks for the PIN "
                + "(default: one that asks on the terminal).")
        String prompt;

        @Override
        public Integer call() throws Exception {
            Map<String, Object> store = Admin.ask("token", "store", "--json");
            out.println("token store " + Admin.string(store, "conf") + " (SOFTHSM2_CONF for softhsm2-util and "
                    + "pkcs11-tool)");
            new TokenCommands(out).register(prompt);
            return Exit.OK;
        }
    }

    @Command(name = "set-unblock-code", header = "set the token family's unblock code",
            customSynopsis = "mscapi token set-unblock-code [--old-code-file F] [--code-file F]")
    static final class SetUnblockCode extends AdminCommand {
        @Option(names = "--old-code-file", paramLabel = "F", description = "Read the current code from the first "
                + "line of F (asked on the terminal when a code is set and this is not given).")
        String oldCodeFile;

        @Option(names = "--code-file", paramLabel = "F", description = "Read the code from the first line of F.")
        String codeFile;
    }

    int init(String label, String soPinFile, String pinFile, String prompt) throws Exception {
        if (label == null || label.isEmpty()) {
            throw ToolError.usage("token init needs --label");
        }
        // The home's token store (made by the emulation when missing) and its tokens.
        Map<String, Object> store = Admin.ask("token", "store", "--json");
        Path dir = Path.of(Admin.string(store, "dir"));
        Path conf = Path.of(Admin.string(store, "conf"));
        Map<String, Object> module = Admin.object(store, "module");
        if (!Boolean.TRUE.equals(module.get("loaded"))) {
            throw new Exception("the token store in " + dir + " cannot be read: " + Admin.string(module, "error"));
        }
        // Two tokens of one label would make \\.\<label>\<container> ambiguous.
        for (Map<String, Object> slot : Admin.objects(module, "slots")) {
            Map<String, Object> token = Admin.object(slot, "token");
            if (token != null && Boolean.TRUE.equals(token.get("initialized"))
                    && label.equals(Admin.string(token, "label"))) {
                throw new Exception("a SoftHSM2 token labelled \"" + label + "\" exists already in " + dir);
            }
        }
        char[] soPin = pin(soPinFile, "--so-pin-file", "SO PIN for token \"" + label + "\"");
        char[] userPin = pin(pinFile, "--pin-file", "User PIN for token \"" + label + "\"");
        try {
            // softhsm2-util takes the PINs as arguments only: they are visible to the
            // machine's other processes while it runs.
            softHsm(conf, "--init-token", "--free", "--label", label, "--so-pin", new String(soPin), "--pin",
                    new String(userPin));
        } finally {
            Arrays.fill(soPin, '\0');
            Arrays.fill(userPin, '\0');
        }
        out.println("token \"" + label + "\" made in " + Admin.string(store, "tokenDir"));
        register(prompt);
        return Exit.OK;
    }

    /** Registers the home's token store as "SoftHSM2 Token RSA Provider" (mscapi-admin token register). */
    void register(String prompt) throws Exception {
        List<String> register = new ArrayList<>(List.of("token", "register", "--json"));
        if (prompt != null) {
            register.add("--pin-prompt");
            register.add(Path.of(prompt).toAbsolutePath().toString());
        }
        Map<String, Object> reg = Admin.ask(register.toArray(new String[0]));
        out.println("provider \"" + Admin.string(reg, "provider") + "\" registered (" + Admin.string(reg, "registration")
                + ")");
        out.println("programs using the provider find the token through its registration ("
                + Admin.string(reg, "environment") + ")");
    }

    /** Runs softhsm2-util on the home's token store; its output, or an exception with it. */
    static String softHsm(Path conf, String... args) throws Exception {
        List<String> cmd = new ArrayList<>(List.of("softhsm2-util"));
        cmd.addAll(Arrays.asList(args));
        ProcessBuilder pb = new ProcessBuilder(cmd).redirectErrorStream(true);
        pb.environment().put("SOFTHSM2_CONF", conf.toString());
        Process p;
        try {
            p = pb.start();
        } catch (IOException e) {
            throw new Exception("softhsm2-util is not installed (Debian package softhsm2)");
        }
        String said = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
        if (p.waitFor() != 0) {
            throw new Exception("softhsm2-util " + args[0] + " failed: " + said);
        }
        return said;
    }

    /** A PIN from the first line of a file (named by option), or asked twice on the console without echo. */
    static char[] pin(String file, String option, String what) throws Exception {
        try (Secret secret = new Secret(file, option, true, what)) {
            char[] pin = secret.confirmed().clone();
            if (pin.length == 0) {
                throw ToolError.usage(file != null ? "no PIN in " + file : "the " + what + " is empty");
            }
            return pin;
        }
    }

    // ---- providers -----------------------------------------------------------------

}
