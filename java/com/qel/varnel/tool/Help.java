package com.qel.varnel.tool;

import java.io.PrintStream;
import java.util.ArrayList;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Set;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The tool's help, once: `mscapi --help`, `mscapi help COMMAND` and
 * `COMMAND --help` print it, and the build makes the man page mscapi(1) and
 * the bash completion from it (`java -cp mscapi.jar com.qel.varnel.tool.Help
 * man|completion`), so the three never disagree. Loading this class loads no
 * native library.
 */
public final class Help {
    private Help() {
    }

    /**
     * One command: its name, its synopsis (lines after the first are
     * continuations), a one-line summary and the details `help COMMAND` adds.
     */
    record Command(String name, String group, String synopsis, String summary, String details) {
    }

    static final String[] STORES = {"MY", "ROOT", "CA", "AddressBook", "Varnel"};
    static final String[] HASHES = {"sha256", "sha1", "md5", "sha384", "sha512"};

    private static final String PIN = "A PIN is read from the console without echo (--pin) or from the first line "
            + "of a file (--pin-file F), never from the command line. Only keys of the token provider "
            + "(\"Soft Token RSA Provider\") have PINs.";
    private static final String KEY = "KEY names the certificate: --thumbprint HEX (its SHA-1, as certs shows it), "
            + "or --serial HEX --issuer-of FILE (FILE is the certificate itself: its issuer name is the key).";
    private static final String STORE = "STORE is MY, ROOT, CA, AddressBook or Varnel, in any case.";

    static final List<Command> COMMANDS = List.of(
        new Command("version", "Information", "version", "the native library's version", ""),
        new Command("providers", "Information", "providers [--json]",
            "the installed RSA providers, the default first, each with its family",
            "Each provider's family comes from its image: software, software token with PINs, or a "
            + "PKCS#11 module, whose tokens are listed (with OpenSC's pkcs11-tool). --json prints "
            + "{\"providers\": [NAME, ...], \"details\": [{\"name\", \"family\", \"image\", "
            + "\"tokens\"}, ...]} in the library's order."),
        new Command("keys", "Information", "keys [--json]",
            "every RSA key pair of every provider's containers",
            "One line per key: provider, container, key spec, length, public exponent. The software "
            + "\"Microsoft ...\" providers share one namespace, listed under the first of them. --json prints "
            + "{\"keys\": [{provider, container, spec, keySpec, bits, publicExponent, modulus}, ...]}."),
        new Command("random", "Information", "random N [--provider P]",
            "N random bytes from a provider, as hex", ""),
        new Command("demo", "Information", "demo [--home DIR]",
            "run the library's typical sequence, step by step",
            "Runs in a fresh temporary MSCAPI_HOME unless --home says otherwise; exits 0 only when every "
            + "step held."),
        new Command("genkey", "Keys",
            "genkey --container NAME [--provider P] [--spec exchange|signature] [--bits N]\n[--out FILE]",
            "a new container with an RSA key pair; its public key as PEM",
            "Key lengths are 512 to 16384 bits in steps of 8 (default 2048). --spec defaults to signature."),
        new Command("delkey", "Keys", "delkey --container NAME [--provider P] [--with-certs]",
            "delete a key container",
            "Refused while certificates in MY are bound to the container, unless --with-certs deletes "
            + "them too."),
        new Command("import", "Keys",
            "import FILE --container NAME [--provider P] [--spec S] [--pin | --pin-file F]\n"
            + "[--password-file F] [--alias A]",
            "an RSA private key into a new container",
            "FILE is PKCS#8 (plain or encrypted), PKCS#1 (also legacy-encrypted PEM) or PKCS#12 (.p12/.pfx); "
            + "a password is asked without echo or read from --password-file. " + PIN),
        new Command("export", "Keys",
            "export --container NAME [--provider P] [--spec S] [--pin | --pin-file F]\n"
            + "[--unencrypted | --password-file F] [--out FILE [--force]]",
            "the private key as encrypted PKCS#8 PEM (exportable keys only)",
            "Encrypted with AES-256 and PBKDF2; plain PKCS#8 only with --unencrypted. FILE is created with "
            + "mode 0600 and must not exist, unless --force. " + PIN),
        new Command("sign", "Keys",
            "sign FILE (--container NAME [--provider P] [--spec S] | --thumbprint HEX)\n"
            + "[--hash sha256|sha1|md5|sha384|sha512] [--pin | --pin-file F] [--out FILE]",
            "a PKCS#1 v1.5 signature of FILE, as hex or raw into --out",
            "FILE is read as a stream (any size, fixed memory). --thumbprint names the key by a certificate "
            + "of MY bound to it. The raw signature verifies with openssl dgst -sha256 -verify PUB "
            + "-signature SIG FILE. " + PIN),
        new Command("verify", "Keys",
            "verify FILE --signature SIG (--cert F | --pubkey F | --container NAME\n"
            + "[--provider P] [--spec S] | --thumbprint HEX) [--hash H]",
            "check a signature (raw or hex) over FILE",
            "Exit code 0 when the signature holds, 1 when it does not."),
        new Command("import-pfx", "Keys and certificates",
            "import-pfx FILE [--container NAME] [--provider P] [--spec S] [--pin | --pin-file F]\n"
            + "[--password-file F] [--alias A] [--friendly-name N]",
            "a PKCS#12 file's key, certificate and chain in one step",
            "The key goes into a new container (a fresh name unless --container), its certificate into MY "
            + "bound to it under the file's friendly name, the rest of the chain into CA."),
        new Command("export-pfx", "Keys and certificates",
            "export-pfx --thumbprint HEX --out FILE [--password-file F] [--pin | --pin-file F]\n[--force]",
            "a certificate of MY with its key and chain as PKCS#12",
            "AES-256-CBC with PBKDF2-HMAC-SHA256; the key must be exportable. FILE gets mode 0600."),
        new Command("req", "Keys and certificates",
            "req (--container NAME [--provider P] [--spec S] | --thumbprint HEX) --subject DN\n"
            + "[--hash H] [--pin | --pin-file F] [--out FILE]",
            "a PKCS#10 certificate request (PEM) for a stored key",
            "DN is \"CN=x,O=y,C=z\" (RFC 4514) or \"/C=z/O=y/CN=x\" (OpenSSL's order). The library makes "
            + "the signature."),
        new Command("selfsign", "Keys and certificates",
            "selfsign --container NAME [--provider P] [--spec S] --subject DN --days N\n"
            + "[--hash H] [--pin | --pin-file F] [--out FILE] [--add STORE [--friendly-name N]]",
            "a self-signed certificate (PEM) for a stored key",
            "--add puts it into STORE (in MY bound to the key). DN as for req."),
        new Command("certs", "Certificates", "certs STORE [--json]",
            "a store's certificates: names, validity, thumbprints, key usage, key binding",
            "Expired certificates are marked. In MY only certificates bound to a key container are listed; "
            + "\"has key\" says whether that container holds the certificate's key. A friendly name is "
            + "shown as the list holds it (Latin-1) and marked where it was cut. " + STORE + " --json "
            + "prints one document (fields in README.md)."),
        new Command("addcert", "Certificates",
            "addcert STORE FILE [--friendly-name N] [--provider P] [--container C]\n[--spec S] [--force]",
            "add every certificate of a PEM bundle, DER or PKCS#7 file",
            "Says how many were added and which were already present. In MY each certificate is bound to the "
            + "stored key with its public key (found, or checked against --container); --force binds without "
            + "a matching key. " + STORE),
        new Command("delcert", "Certificates", "delcert STORE KEY", "delete a certificate", KEY + " " + STORE),
        new Command("name", "Certificates", "name STORE NAME KEY", "set a certificate's friendly name",
            KEY + " " + STORE),
        new Command("describe", "Certificates", "describe STORE TEXT KEY",
            "set a certificate's description (TEXT's UTF-8 bytes)", KEY + " " + STORE),
        new Command("check", "The emulated machine", "check [--json]",
            "check the home: permissions, registry files, databases, every stored key",
            "Exit code 1 when a problem is found. --json prints {\"home\", \"problems\", \"findings\": "
            + "[{\"level\": \"ok\"|\"info\"|\"problem\", \"text\"}, ...]}."),
        new Command("token", "The emulated machine",
            "token init --label L [--so-pin-file F] [--pin-file F] [--pin-prompt PROG]\n"
            + "| token set-unblock-code [--code-file F]",
            "make a SoftHSM2 token in the home, or set the token family's unblock code",
            "init makes a SoftHSM2 token labelled L in $MSCAPI_HOME/softhsm (SOFTHSM2_CONF there) and "
            + "registers it as a PKCS#11 provider whose PIN prompt asks on the terminal (or runs PROG); "
            + "the SO PIN and the user PIN are asked twice without echo, or read from the first line of "
            + "--so-pin-file and --pin-file. set-unblock-code: the code is asked twice without echo, or "
            + "read from the first line of --code-file; only a salted hash is stored."),
        new Command("unblock", "The emulated machine",
            "unblock --container C [--spec exchange|signature] [--code-file F]",
            "clear a token key's wrong-PIN count with the unblock code",
            "5 wrong PINs in a row block a token key; 10 wrong unblock codes block the code itself."),
        new Command("help", "Help", "help [COMMAND]", "this text, or one command's details",
            "Also: mscapi COMMAND --help, mscapi --version."));

    static Command find(String name) {
        for (Command c : COMMANDS) {
            if (c.name().equals(name)) {
                return c;
            }
        }
        return null;
    }

    static final String[] ENVIRONMENT = {
        "MSCAPI_HOME", "the emulated machine's state: registry, key containers (keys.db), certificate "
            + "stores (certs.db); default $XDG_DATA_HOME/mscapi, else ~/.local/share/mscapi",
        "JAVA_HOME", "the Java runtime to use (else java on the PATH)",
        "MSCAPI_JAVA_OPTS", "more options for the JVM",
        "MSCAPI_CDS", "0 turns off the class-data-sharing archive the launcher keeps in "
            + "$XDG_CACHE_HOME/mscapi (else ~/.cache/mscapi)"};

    /** The command list of --help (and of README.md, which repeats it). */
    static void commandList(PrintStream s) {
        String group = null;
        for (Command c : COMMANDS) {
            if (!c.group().equals(group)) {
                if (group != null) {
                    s.println();
                }
                group = c.group();
                s.println(group + ":");
            }
            String[] lines = c.synopsis().split("\n");
            for (int i = 0; i < lines.length; i++) {
                s.println((i == 0 ? "  mscapi " : "           ") + lines[i]);
            }
            s.println("        " + c.summary());
        }
    }

    static void overview(PrintStream s) {
        s.println("Usage: mscapi COMMAND [ARGS]          mscapi help COMMAND for one command");
        s.println();
        commandList(s);
        s.println();
        s.println("Options for every command: --verbose prints the emulation's trace of every");
        s.println("platform call; --help prints the command's help.");
        s.println();
        s.println("Environment:");
        for (int i = 0; i < ENVIRONMENT.length; i += 2) {
            s.println("  " + ENVIRONMENT[i]);
            wrap(s, ENVIRONMENT[i + 1], "      ");
        }
        s.println();
        s.println("The emulated machine lives in $MSCAPI_HOME; when it is unset, in");
        s.println("$XDG_DATA_HOME/mscapi, else ~/.local/share/mscapi (now: " + Main.describeHome() + ").");
        s.println("Exit codes: 0 success, 1 failure, 2 usage error.");
    }

    static void command(PrintStream s, Command c) {
        String[] lines = c.synopsis().split("\n");
        for (int i = 0; i < lines.length; i++) {
            s.println((i == 0 ? "Usage: mscapi " : "           ") + lines[i]);
        }
        s.println();
        wrap(s, capital(c.summary()) + ".", "");
        if (!c.details().isEmpty()) {
            s.println();
            wrap(s, c.details(), "");
        }
    }

    private static String capital(String t) {
        return t.isEmpty() ? t : Character.toUpperCase(t.charAt(0)) + t.substring(1);
    }

    /** Prints text word-wrapped at 78 columns, each line after `indent`. */
    static void wrap(PrintStream s, String text, String indent) {
        StringBuilder line = new StringBuilder(indent);
        for (String word : text.split(" ")) {
            if (line.length() > indent.length() && line.length() + 1 + word.length() > 78) {
                s.println(line);
                line = new StringBuilder(indent);
            }
            if (line.length() > indent.length()) {
                line.append(' ');
            }
            line.append(word);
        }
        if (line.length() > indent.length()) {
            s.println(line);
        }
    }

    // ---- man page ----------------------------------------------------------------

    /** Text escaped for roff: backslashes, leading dots and quotes, hyphens of options. */
    static String roff(String t) {
        String r = t.replace("\\", "\\e").replace("-", "\\-");
        if (r.startsWith(".") || r.startsWith("'")) {
            r = "\\&" + r;
        }
        return r;
    }

    static void man(PrintStream s, String version) {
        s.println(".\\\" Generated from the tool's help text (com.qel.varnel.tool.Help); do not edit.");
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
        s.println("mscapi puts RSA keys and certificates into the emulated Windows cryptographic platform");
        s.println("that the mscapi library runs on under Linux, lists them, and signs with them. Every");
        s.println("operation goes through the library's methods, as any application's would.");
        String group = null;
        for (Command c : COMMANDS) {
            if (!c.group().equals(group)) {
                group = c.group();
                s.println(".SH " + roff(group.toUpperCase(java.util.Locale.ROOT)));
            }
            // The tag of .TP is one line: the synopsis joined, wrapped by roff.
            s.println(".TP");
            s.println(".B mscapi " + roff(c.synopsis().replace("\n", " ")));
            s.println(roff(capital(c.summary()) + "."));
            if (!c.details().isEmpty()) {
                s.println(roff(c.details()));
            }
        }
        s.println(".SH OPTIONS");
        s.println(".TP");
        s.println(".B \\-\\-verbose");
        s.println("Print the emulation's trace of every platform call the command made.");
        s.println(".TP");
        s.println(".B \\-\\-help");
        s.println("Print the help of the command it follows (or of the tool).");
        s.println(".TP");
        s.println(".B \\-\\-version");
        s.println("Print the versions of the tool, its library and the Java runtime.");
        s.println(".SH ENVIRONMENT");
        for (int i = 0; i < ENVIRONMENT.length; i += 2) {
            s.println(".TP");
            s.println(".B " + ENVIRONMENT[i]);
            s.println(roff(capital(ENVIRONMENT[i + 1]) + "."));
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
        s.println("0 success, 1 failure (its cause is printed on standard error), 2 usage error.");
        s.println(".SH SEE ALSO");
        s.println(".BR openssl (1),");
        s.println(".BR keytool (1)");
    }

    // ---- bash completion -----------------------------------------------------------

    static Set<String> options(Command c) {
        Set<String> opts = new LinkedHashSet<>();
        Matcher m = Pattern.compile("--[a-z][a-z0-9-]*").matcher(c.synopsis());
        while (m.find()) {
            opts.add(m.group());
        }
        opts.add("--help");
        opts.add("--verbose");
        return opts;
    }

    static void completion(PrintStream s) {
        List<String> names = new ArrayList<>();
        for (Command c : COMMANDS) {
            names.add(c.name());
        }
        s.println("# bash completion for mscapi, generated from the tool's help text; do not edit.");
        s.println("_mscapi() {");
        s.println("  local cur prev cmd i");
        s.println("  cur=${COMP_WORDS[COMP_CWORD]}");
        s.println("  prev=${COMP_WORDS[COMP_CWORD-1]}");
        s.println("  if [ \"$COMP_CWORD\" -eq 1 ]; then");
        s.println("    COMPREPLY=($(compgen -W '" + String.join(" ", names) + " --help --version' -- \"$cur\"))");
        s.println("    return");
        s.println("  fi");
        s.println("  cmd=${COMP_WORDS[1]}");
        s.println("  case $prev in");
        s.println("    --spec) COMPREPLY=($(compgen -W 'exchange signature' -- \"$cur\")); return ;;");
        s.println("    --hash) COMPREPLY=($(compgen -W '" + String.join(" ", HASHES) + "' -- \"$cur\")); return ;;");
        s.println("    --add) COMPREPLY=($(compgen -W '" + String.join(" ", STORES) + "' -- \"$cur\")); return ;;");
        s.println("    --out|--pin-file|--password-file|--code-file|--cert|--pubkey|--signature|--issuer-of|--home)");
        s.println("      COMPREPLY=($(compgen -f -- \"$cur\")); return ;;");
        s.println("    --provider|--container|--bits|--days|--subject|--thumbprint|--serial|--friendly-name|--alias)");
        s.println("      return ;;");
        s.println("  esac");
        s.println("  case $cmd in");
        for (Command c : COMMANDS) {
            s.println("    " + c.name() + ")");
            boolean store = c.synopsis().startsWith(c.name() + " STORE");
            if (c.name().equals("help")) {
                s.println("      COMPREPLY=($(compgen -W '" + String.join(" ", names) + "' -- \"$cur\")); return ;;");
                continue;
            }
            if (c.name().equals("token")) {
                s.println("      if [ \"$COMP_CWORD\" -eq 2 ]; then COMPREPLY=($(compgen -W 'init set-unblock-code' -- \"$cur\")); return; fi");
            }
            if (store) {
                s.println("      if [ \"$COMP_CWORD\" -eq 2 ]; then COMPREPLY=($(compgen -W '"
                        + String.join(" ", STORES) + "' -- \"$cur\")); return; fi");
            }
            s.println("      if [[ $cur == -* ]]; then COMPREPLY=($(compgen -W '" + String.join(" ", options(c))
                    + "' -- \"$cur\")); else COMPREPLY=($(compgen -f -- \"$cur\")); fi ;;");
        }
        s.println("  esac");
        s.println("}");
        s.println("complete -o filenames -F _mscapi mscapi");
    }

    /**
     * For the build: writes the man page (man VERSION FILE) or the bash
     * completion (completion FILE).
     */
    public static void main(String[] args) throws java.io.IOException {
        if (args.length == 3 && args[0].equals("man")) {
            try (PrintStream out = new PrintStream(args[2], java.nio.charset.StandardCharsets.UTF_8)) {
                man(out, args[1]);
            }
        } else if (args.length == 2 && args[0].equals("completion")) {
            try (PrintStream out = new PrintStream(args[1], java.nio.charset.StandardCharsets.UTF_8)) {
                completion(out);
            }
        } else {
            System.err.println("usage: Help man VERSION FILE | completion FILE");
            System.exit(2);
        }
    }
}
