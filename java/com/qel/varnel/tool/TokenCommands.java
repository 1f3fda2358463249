package com.qel.varnel.tool;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.TimeUnit;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;

/**
 * `mscapi token init` (a SoftHSM2 token in the home, registered as a
 * provider) and `mscapi providers` with each provider's family and, for
 * PKCS#11 modules, their tokens.
 */
final class TokenCommands {
    static final String SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so";
    static final String SOFTHSM_PROVIDER = "SoftHSM2 Token RSA Provider";
    static final String PROVIDERS = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";

    private final PrintStream out;

    TokenCommands(PrintStream out) {
        this.out = out;
    }

    @Command(name = "token", header = "make a SoftHSM2 token in the home, or set the token family's unblock code",
            customSynopsis = {"mscapi token init --label L [--so-pin-file F] [--pin-file F] [--pin-prompt PROG]",
                "           | token set-unblock-code [--code-file F]"},
            description = "init makes a SoftHSM2 token labelled L in $MSCAPI_HOME/softhsm (SOFTHSM2_CONF there) "
                    + "and registers it as a PKCS#11 provider whose PIN prompt asks on the terminal (or runs PROG); "
                    + "the SO PIN and the user PIN are asked twice without echo, or read from the first line of "
                    + "--so-pin-file and --pin-file. set-unblock-code: the code is asked twice without echo, or "
                    + "read from the first line of --code-file; only a salted hash is stored.",
            subcommands = {Init.class, SetUnblockCode.class})
    static final class Token extends Cmd {
        @Override
        public Integer call() throws Exception {
            throw ToolError.usage("token needs a subcommand: init");
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

    @Command(name = "set-unblock-code", header = "set the token family's unblock code",
            customSynopsis = "mscapi token set-unblock-code [--code-file F]")
    static final class SetUnblockCode extends Main.AdminCommand {
        @Option(names = "--code-file", paramLabel = "F", description = "Read the code from the first line of F.")
        String codeFile;
    }

    static void usage(PrintStream s) {
        s.println("  token init --label L [--so-pin-file F] [--pin-file F] [--pin-prompt PROGRAM]");
        s.println("                                a SoftHSM2 token in the home (SOFTHSM2_CONF there),");
        s.println("                                registered as \"" + SOFTHSM_PROVIDER + "\"; PINs are");
        s.println("                                asked without echo unless given in files");
    }

    static Path home() {
        String h = System.getenv("MSCAPI_HOME");
        if (h != null && !h.isEmpty()) {
            return Path.of(h);
        }
        String data = System.getenv("XDG_DATA_HOME");
        if (data != null && !data.isEmpty()) {
            return Path.of(data, "mscapi");
        }
        return Path.of(System.getProperty("user.home"), ".local", "share", "mscapi");
    }

    int init(String label, String soPinFile, String pinFile, String prompt) throws Exception {
        if (label == null || label.isEmpty()) {
            throw ToolError.usage("token init needs --label");
        }
        // The default registration first: the registry folder is the emulation's to create.
        Native.queryProviders();
        Path dir = home().resolve("softhsm");
        Path conf = dir.resolve("softhsm2.conf");
        Files.createDirectories(dir.resolve("tokens"));
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwx------"));
        if (!Files.exists(conf)) {
            Files.writeString(conf, "directories.tokendir = " + dir.resolve("tokens") + "\nobjectstore.backend = file\n");
        }
        // Two tokens of one label would make \\.\<label>\<container> ambiguous.
        if (softHsm(conf, "--show-slots").lines().map(String::trim)
                .anyMatch(l -> l.startsWith("Label:") && l.substring(6).trim().equals(label))) {
            throw new Exception("a SoftHSM2 token labelled \"" + label + "\" exists already in " + dir);
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
        Path promptProgram = prompt != null ? Path.of(prompt).toAbsolutePath() : writeTerminalPrompt(dir);
        Path reg = home().resolve("registry").resolve("60-softhsm2.reg");
        Files.writeString(reg, "Windows Registry Editor Version 5.00\n\n[" + PROVIDERS + "\\" + SOFTHSM_PROVIDER + "]\n"
                + "\"Image Path\"=\"" + regText(SOFTHSM_MODULE) + "\"\n\"Type\"=dword:00000001\n"
                + "\"PIN Prompt\"=\"" + regText(promptProgram.toString()) + "\"\n");
        out.println("token \"" + label + "\" made in " + dir.resolve("tokens"));
        out.println("provider \"" + SOFTHSM_PROVIDER + "\" registered (" + reg + ")");
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

    static String regText(String s) {
        return s.replace("\\", "\\\\").replace("\"", "\\\"");
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

    /** The default PIN prompt: asks on the user's terminal without echo. */
    static Path writeTerminalPrompt(Path dir) throws IOException {
        Path p = dir.resolve("pin-prompt");
        Files.writeString(p, "#!/bin/sh\n"
                + "# The token's PIN prompt (SSH_ASKPASS convention): the prompt as the\n"
                + "# argument, the PIN asked on the terminal without echo, on stdout.\n"
                + "exec </dev/tty || exit 1\n"
                + "printf '%s: ' \"$1\" >/dev/tty\n"
                + "stty -echo\nIFS= read -r pin\nstatus=$?\nstty echo\nprintf '\\n' >/dev/tty\n"
                + "[ $status -eq 0 ] && printf '%s\\n' \"$pin\"\n");
        p.toFile().setExecutable(true, true);
        return p;
    }

    // ---- providers -----------------------------------------------------------------

    static boolean isModule(String image) {
        return image != null && image.startsWith("/") && image.endsWith(".so");
    }

    static String family(String image) {
        if (image == null) {
            return "unknown (no image path)";
        }
        String base = image.substring(Math.max(image.lastIndexOf('\\'), image.lastIndexOf('/')) + 1)
                .toLowerCase(Locale.ROOT);
        if (base.equals("rsaenh.dll")) {
            return "software (" + image + ")";
        }
        if (base.equals("softtoken.dll")) {
            return "software token with PINs (" + image + ")";
        }
        if (isModule(image)) {
            return "PKCS#11, module " + image;
        }
        return "not available here (" + image + ")";
    }

    /** The tokens a PKCS#11 module shows, as OpenSC's pkcs11-tool lists them. */
    static List<String> tokens(String module) {
        List<String> found = new ArrayList<>();
        try {
            Process p = new ProcessBuilder("pkcs11-tool", "--module", module, "--list-token-slots")
                    .redirectErrorStream(true).start();
            String text = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            if (!p.waitFor(30, TimeUnit.SECONDS) || p.exitValue() != 0) {
                found.add("tokens: cannot be listed (pkcs11-tool failed)");
                return found;
            }
            String label = null;
            for (String line : text.split("\n")) {
                String l = line.trim();
                if (l.startsWith("token label")) {
                    label = l.substring(l.indexOf(':') + 1).trim();
                } else if (l.startsWith("serial num") && label != null) {
                    found.add("token: \"" + label + "\", serial " + l.substring(l.indexOf(':') + 1).trim());
                    label = null;
                }
            }
            if (found.isEmpty()) {
                found.add("tokens: none present");
            }
        } catch (IOException | InterruptedException e) {
            found.add("tokens: cannot be listed (pkcs11-tool is not installed)");
        }
        return found;
    }

    /**
     * Each provider's "Image Path" as the registry files of the home give it:
     * the files in name order, later ones overriding earlier ones, deleted
     * keys and values honoured. Only what this listing needs is read.
     */
    static Map<String, String> imagePaths(Path registry) throws IOException {
        Map<String, String> images = new TreeMap<>();
        if (!Files.isDirectory(registry)) {
            return images;
        }
        List<Path> files = new ArrayList<>();
        try (var list = Files.list(registry)) {
            list.filter(p -> p.getFileName().toString().toLowerCase(Locale.ROOT).endsWith(".reg")).forEach(files::add);
        }
        files.sort((a, b) -> a.getFileName().toString().compareTo(b.getFileName().toString()));
        String prefix = PROVIDERS.toLowerCase(Locale.ROOT) + "\\";
        for (Path f : files) {
            String provider = null;
            for (String raw : text(Files.readAllBytes(f)).split("\r?\n")) {
                String line = raw.trim();
                if (line.startsWith("[")) {
                    boolean delete = line.startsWith("[-");
                    String key = line.substring(delete ? 2 : 1, Math.max(line.lastIndexOf(']'), 1)).toLowerCase(Locale.ROOT);
                    provider = key.startsWith(prefix) && key.indexOf('\\', prefix.length()) < 0
                            ? key.substring(prefix.length()) : null;
                    if (delete) {
                        if (key.equals(prefix.substring(0, prefix.length() - 1))) {
                            images.clear();
                        } else if (provider != null) {
                            images.remove(provider);
                        }
                        provider = null;
                    }
                } else if (provider != null && line.toLowerCase(Locale.ROOT).startsWith("\"image path\"=")) {
                    String v = line.substring(line.indexOf('=') + 1).trim();
                    if (v.equals("-")) {
                        images.remove(provider);
                    } else if (v.length() >= 2 && v.startsWith("\"") && v.endsWith("\"")) {
                        images.put(provider, v.substring(1, v.length() - 1).replace("\\\\", "\\").replace("\\\"", "\""));
                    }
                }
            }
        }
        return images;
    }

    static String text(byte[] b) {
        if (b.length >= 2 && (b[0] & 0xFF) == 0xFF && (b[1] & 0xFF) == 0xFE) {
            return new String(b, 2, b.length - 2, StandardCharsets.UTF_16LE);
        }
        String s = new String(b, StandardCharsets.UTF_8);
        return s.startsWith("\uFEFF") ? s.substring(1) : s;
    }
}
