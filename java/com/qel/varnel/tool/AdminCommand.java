package com.qel.varnel.tool;

import java.util.List;
import picocli.CommandLine;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Spec;

/**
 * A command mscapi-admin runs: the tool has its help and hands the
 * command line over as it was given (--verbose too, which mscapi-admin
 * takes as the tool does), on this terminal, with its exit code.
 */
abstract class AdminCommand extends Cmd {
    @Spec
    CommandSpec self;

    // What the tool does not know is mscapi-admin's to judge.
    @CommandLine.Unmatched
    List<String> unmatched;

    @Override
    public Integer call() throws Exception {
        // --verbose too: mscapi-admin prints the trace of what it did, as the tool does.
        return Admin.pass(self.commandLine().getParseResult().originalArgs());
    }
}
