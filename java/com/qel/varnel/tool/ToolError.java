package com.qel.varnel.tool;

/**
 * A failure the tool explains in its own words: the message is printed as
 * it is (after "mscapi: ") and the run ends with the exit code it carries,
 * {@link Exit#FAILED} for a failure, {@link Exit#USAGE} for a command line
 * the tool cannot use (then the command's help is pointed at).
 */
final class ToolError extends Exception {
    private static final long serialVersionUID = 1L;
    final int exitCode;

    ToolError(String message) {
        this(message, Exit.FAILED);
    }

    private ToolError(String message, int exitCode) {
        super(message);
        this.exitCode = exitCode;
    }

    /** A certificate check that --strict turned from a warning into an error. */
    static ToolError strict(String message) {
        return new ToolError(message, Exit.STRICT);
    }

    /** A command line the tool cannot use. */
    static ToolError usage(String message) {
        return new ToolError(message, Exit.USAGE);
    }
}
