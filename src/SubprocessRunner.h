#pragma once

#include <juce_core/juce_core.h>

/** Runs an outside program with a time limit and captures what it prints.

    Holds only static functions: every run starts from nothing and leaves nothing
    behind, so runs for different files may go on at the same time.

    Each program runs in a process group of its own, and the run ends that whole
    group: at the time limit, once the program has exited (after a short grace for
    output that something it left running still holds open), and when this program
    is interrupted, terminated, hung up on or writes to a pipe whose reader has
    gone. For the last, the runner keeps one small piece of process-wide state: a
    fixed table of the groups running now, which the handlers it installs on its
    first run go through before this program ends by the same signal.
*/
class SubprocessRunner
{
public:
    /** The outcome of one run. */
    struct Result
    {
        int exitCode = -1;          // the child's exit status; 0 after a kill at the time limit, -1 when lost
        juce::String output;        // standard output and standard error together, as UTF-8; of a long
                                    // output the first and last 64 KiB, with a line between saying how much was dropped
        juce::String errorMessage;  // set only when no child could be started
        double elapsedMs = 0.0;
        bool timedOut = false;
        int terminatingSignal = 0;  // the signal that ended the child; 0 when it exited or was killed at the limit
        bool statusLost = false;    // the child ended but its status was collected elsewhere (as when this
                                    // program was started with SIGCHLD ignored): the run counts as failed
    };

    /** Starts args[0] with the remaining items as its arguments, waits at most
        timeoutMs for it (killing it when the limit is reached) and returns what it
        printed and how it ended. Its output is read as fast as it is written. Once it
        has exited, its output is read until every holder has closed it or, at most,
        for a short grace; then every process it started and left running is killed.
        The child gets only its three standard streams, the input empty.

        Empty items are left out of the child's argument list. workingDirectory is
        accepted for the callers' sake and not used: the child runs in this
        process's current directory.
    */
    static Result run (const juce::StringArray& args, int timeoutMs, const juce::File& workingDirectory);

    /** True when programFile exists as a file and the system's "test -x" finds it executable. */
    static bool validateBinary (const juce::File& programFile);

    /** True when programFile passes validateBinary and a run with probeArgument
        ends by itself, within its time limit, with exit code 0.
    */
    static bool probeBinary (const juce::File& programFile, const juce::String& probeArgument);

    SubprocessRunner() = delete;
};
