package com.qel.varnel.tool;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The command-line tool's exit codes and messages, run in this JVM. */
class CliTest {
    static final class Result {
        int code;
        String out;
        String err;
    }

    static Result run(String... args) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        Main main = new Main(new PrintStream(out, true, StandardCharsets.UTF_8),
                new PrintStream(err, true, StandardCharsets.UTF_8));
        Result r = new Result();
        r.code = main.run(args);
        r.out = out.toString(StandardCharsets.UTF_8);
        r.err = err.toString(StandardCharsets.UTF_8);
        return r;
    }

    @ParameterizedTest
    @CsvSource(delimiter = '|', value = {
        "version|0|^mscapi 4\\.2 \\(262146\\)\\n$|^$",
        "random 8|0|^[0-9a-f]{16}\\n$|^$",
        "random 0|0|^\\n$|^$",
        "random 8 --provider Soft Token RSA Provider|0|^[0-9a-f]{16}\\n$|^$",
        "random -1|1|^$|Failed to open provider key in registry!",
        "random 4 --provider Nobody|1|^$|Failed to open provider key in registry!",
        "random|2|^$|random needs one length",
        "random x|2|^$|not a length",
        "random 4 --provider|2|^$|--provider needs a value",
        "version extra|2|^$|unexpected argument",
        "frobnicate|2|^$|unknown command",
        "--help|0|Usage: mscapi|^$",
        // The forms picocli adds: --name=value, and -- before arguments that look like options.
        "random 4 --provider=Nobody|1|^$|Failed to open provider key in registry!",
        "random -- 8|0|^[0-9a-f]{16}\\n$|^$",
        "random --provider= 4|1|^$|Failed to open provider key in registry!",
        "keys --json --json|2|^$|should be specified only once",
        "genkey --bits|2|^$|--bits needs a value",
        "certs|2|^$|certs needs a STORE",
        "import|2|^$|import needs a FILE",
        "sign --container x|2|^$|sign needs a FILE",
        "help nope|2|^$|no command \"nope\"",
        // Help from the annotations: the command's own options, with both of their forms.
        "random --help|0|^Usage: mscapi random N \\[--provider P\\]\\n\\nN random bytes from a provider, as hex\\.\\n"
                + "(?s).*--provider=P|^$",
        "help random|0|^Usage: mscapi random N|^$",
        "token --help|0|init +make a SoftHSM2 token|^$",
    })
    void exitCodes(String line, int code, String outPattern, String errPattern) throws Exception {
        // Arguments are split on spaces except inside a provider name after --provider.
        String[] args = line.contains("--provider ") && line.indexOf("--provider ") + 11 < line.length()
                ? splitProvider(line) : line.split(" ");
        Result r = run(args);
        assertEquals(code, r.code, r.err);
        assertTrue(java.util.regex.Pattern.compile(outPattern).matcher(r.out).find(), r.out);
        assertTrue(java.util.regex.Pattern.compile(errPattern).matcher(r.err).find(), r.err);
    }

    /** The commands the tool runs alone without its parser are ones picocli would run alone too. */
    @org.junit.jupiter.api.Test
    void commandsRunAloneAsTheParserWould() throws Exception {
        var m = Main.class.getDeclaredMethod("aloneMismatches");
        m.setAccessible(true);
        assertEquals(java.util.List.of(), m.invoke(null));
        // And they run: each prints its usual first words.
        assertTrue(run("version").out.startsWith("mscapi 4.2"));
        assertTrue(run("keys").out.endsWith("key pairs\n") || run("keys").out.endsWith("key pair\n"));
        Result token = run("token");
        assertEquals(2, token.code);
        assertTrue(token.err.contains("token needs a subcommand"), token.err);
    }

    private static String[] splitProvider(String line) {
        int i = line.indexOf("--provider ");
        String[] head = line.substring(0, i).trim().split(" ");
        String[] all = java.util.Arrays.copyOf(head, head.length + 2);
        all[head.length] = "--provider";
        all[head.length + 1] = line.substring(i + 11);
        return all;
    }
}
