package com.qel.varnel.tool;

import java.io.PrintStream;
import java.util.concurrent.Callable;
import picocli.CommandLine.Mixin;

/**
 * A command of the tool: its options are the fields picocli sets from the
 * command line, call() runs it and gives the exit code. Every command takes
 * --help and --verbose.
 */
abstract class Cmd implements Callable<Integer> {
    @Mixin
    Options.Common common = new Options.Common();

    /** Where the command prints its results (Main sets it before the call). */
    PrintStream out = System.out;

    /** Where it prints what goes to standard error. */
    PrintStream err = System.err;
}
