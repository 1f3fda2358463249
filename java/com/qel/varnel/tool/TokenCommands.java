package com.qel.varnel.tool;

import java.io.Console;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;

/**
 * `mscapi token init` (a SoftHSM2 token in the home's token store, which
 * mscapi-admin makes and registers as a provider), `mscapi token
 * set-unblock-code` (mscapi-admin's), and the words `mscapi providers` shows
 * for each provider's family and, for PKCS#11 modules, their tokens.
 */
final class TokenCommands {
    static final String SOFTHSM_PROVIDER = "SoftHSM2 Token RSA Provider";

    private final PrintStream out;

    TokenCommands(PrintStream out) {
        this.out = out;
    }

    static void usage(PrintStream s) {
        s.println("  token init --label L [--so-pin-file F] [--pin-file F] [--pin-prompt PROGRAM]");
        s.println("                                a SoftHSM2 token in the home (SOFTHSM2_CONF there),");
        s.println("                                registered as \"" + SOFTHSM_PROVIDER + "\"; PINs are");
        s.println("                                asked without echo unless given in files");
    }

    int run(List<String> args) throws Exception {
        if (!args.isEmpty() && args.get(0).equals("set-unblock-code")) {
            List<String> all = new ArrayList<>(List.of("token"));
            all.addAll(args);
            return Admin.pass(all);
        }
        if (args.isEmpty() || !args.get(0).equals("init")) {
            throw new Main.UsageException("token needs a subcommand: init or set-unblock-code");
        }
        args.remove(0);
        return init(args);
    }

    int init(List<String> args) throws Exception {
        String label = Main.option(args, "--label");
        String soPinFile = Main.option(args, "--so-pin-file");
        String pinFile = Main.option(args, "--pin-file");
        String prompt = Main.option(args, "--pin-prompt");
        Main.noMore(args);
        if (label == null || label.isEmpty()) {
            throw new Main.UsageException("token init needs --label");
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
        char[] soPin = pin(soPinFile, "SO PIN for token \"" + label + "\"");
        char[] userPin = pin(pinFile, "User PIN for token \"" + label + "\"");
        try {
            // softhsm2-util takes the PINs as arguments only: they are visible to the
            // machine's other processes while it runs.
            softHsm(conf, "--init-token", "--free", "--label", label, "--so-pin", new String(soPin), "--pin",
                    new String(userPin));
        } finally {
            Arrays.fill(soPin, '\0');
            Arrays.fill(userPin, '\0');
        }
        List<String> register = new ArrayList<>(List.of("token", "register", "--json"));
        if (prompt != null) {
            register.add("--pin-prompt");
            register.add(Path.of(prompt).toAbsolutePath().toString());
        }
        Map<String, Object> reg = Admin.ask(register.toArray(new String[0]));
        out.println("token \"" + label + "\" made in " + Admin.string(store, "tokenDir"));
        out.println("provider \"" + Admin.string(reg, "provider") + "\" registered (" + Admin.string(reg, "registration")
                + ")");
        out.println("programs other than this tool need SOFTHSM2_CONF=" + conf);
        return Main.OK;
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

    /** A PIN from the first line of a file, or asked twice on the console without echo. */
    static char[] pin(String file, String what) throws Exception {
        if (file != null) {
            List<String> lines = Files.readAllLines(Path.of(file));
            if (lines.isEmpty() || lines.get(0).isEmpty()) {
                throw new Main.UsageException("no PIN in " + file);
            }
            return lines.get(0).toCharArray();
        }
        Console c = System.console();
        if (c == null) {
            throw new Main.UsageException("no console to ask the " + what + " on: give it in a file");
        }
        char[] first = c.readPassword("%s: ", what);
        char[] again = c.readPassword("%s again: ", what);
        try {
            if (first == null || first.length == 0 || !Arrays.equals(first, again)) {
                throw new Main.UsageException("the two entries of the " + what + " differ or are empty");
            }
        } finally {
            if (again != null) {
                Arrays.fill(again, '\0');
            }
        }
        return first;
    }

    // ---- providers -----------------------------------------------------------------

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
