#include "SubprocessRunner.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace
{
    constexpr int bothOutputStreams = juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr;

    //==============================================================================
    /** Owns a child process and collects its output on a thread of its own.

        ChildProcess::readProcessOutput waits until it has every byte it was asked
        for or the output has ended, so the waiting happens on the reading thread,
        one byte at a time (the stream underneath buffers whatever the pipe holds).
        The polling loop only takes what has already arrived and so never waits for
        output, which keeps the time limit for a child that stays silent.
    */
    class OutputCollector
    {
    public:
        juce::ChildProcess process;

        /** The reading thread's work: runs until the child's output has ended. */
        void readUntilEnd()
        {
            for (;;)
            {
                char byte = 0;

                if (process.readProcessOutput (&byte, 1) <= 0)
                    break;

                const std::lock_guard<std::mutex> guard (lock);
                pending.push_back (byte);
            }

            {
                const std::lock_guard<std::mutex> guard (lock);
                ended = true;
            }

            endReached.signal();
        }

        /** Moves at most maxBytes of what has arrived into destination; returns how many. */
        size_t takeBytes (juce::MemoryBlock& destination, size_t maxBytes)
        {
            const std::lock_guard<std::mutex> guard (lock);
            const auto numBytes = std::min (maxBytes, pending.size());
            destination.append (pending.data(), numBytes);
            pending.erase (0, numBytes);
            return numBytes;
        }

        size_t takeAllBytes (juce::MemoryBlock& destination)
        {
            return takeBytes (destination, std::numeric_limits<size_t>::max());
        }

        /** True once the output has ended; everything read by then is pending. */
        bool waitForEnd (int timeoutMs) const   { return endReached.wait (timeoutMs); }

    private:
        std::mutex lock;
        std::string pending;
        bool ended = false;
        juce::WaitableEvent endReached { true };
    };

    //==============================================================================
    /** Polls the child in nominal 50 ms steps, taking what it printed, until it ends
        by itself (returns false) or the step count reaches the limit (returns true).
        The counter counts the sleeps, not the time spent between them.
    */
    bool waitAndCollect (OutputCollector& collector, int timeoutMs, juce::MemoryBlock& collected)
    {
        constexpr int pollIntervalMs = 50;
        constexpr size_t maxBytesPerPass = 4096;

        for (int waitedMs = pollIntervalMs;; waitedMs += pollIntervalMs)
        {
            if (! collector.process.isRunning())
                return false;

            collector.takeBytes (collected, maxBytesPerPass);

            if (waitedMs >= timeoutMs)
                return true;

            juce::Thread::sleep (pollIntervalMs);
        }
    }

    /** Takes what is left once the child has exited by itself. The output ends when
        the pipe closes; when some other process still holds it open (a program the
        child left running, or the child of a concurrent run that inherited it), the
        drain stops once a wait brings nothing new instead of waiting for that process.
    */
    void drainAfterExit (OutputCollector& collector, juce::MemoryBlock& collected)
    {
        constexpr int idleLimitMs = 1000;

        for (;;)
        {
            const auto ended = collector.waitForEnd (idleLimitMs);
            const auto numTaken = collector.takeAllBytes (collected);

            if (ended || numTaken == 0)
                return;
        }
    }

    /** Kills the child and collects its exit status, so long batches leave no zombies. */
    void killAndReap (juce::ChildProcess& process)
    {
        constexpr int reapLimitMs = 1000;

        process.kill();
        process.waitForProcessToFinish (reapLimitMs);
    }

    /** Lets the reading thread go. It is joined once the output has ended; when the
        pipe is still held open elsewhere it is left to end by itself, keeping the
        collector alive, so that the run returns in time.
    */
    void releaseReader (std::thread& reader, const OutputCollector& collector)
    {
        constexpr int endWaitMs = 1000;

        if (collector.waitForEnd (endWaitMs))
            reader.join();
        else
            reader.detach();
    }

    juce::String decodeUTF8 (const juce::MemoryBlock& bytes)
    {
        return juce::String::fromUTF8 (static_cast<const char*> (bytes.getData()), (int) bytes.getSize());
    }

    void logOutcome (const SubprocessRunner::Result& result)
    {
        // Longer outputs would flood the log; callers still get all of it.
        constexpr int maxLoggedLength = 1999;

        juce::Logger::writeToLog ("[SubprocessRunner] Exit code: " + juce::String (result.exitCode)
                                  + " | Elapsed: " + juce::String (result.elapsedMs, 1, false) + "ms");

        if (result.output.isNotEmpty() && result.output.length() <= maxLoggedLength)
            juce::Logger::writeToLog ("[SubprocessRunner] Output: " + result.output.trim());
    }
}

//==============================================================================
SubprocessRunner::Result SubprocessRunner::run (const juce::StringArray& args, int timeoutMs,
                                                const juce::File& /*workingDirectory*/)
{
    Result result;

    if (args.isEmpty())
    {
        result.errorMessage = "ERROR: Empty command arguments";
        return result;
    }

    juce::Logger::writeToLog ("[SubprocessRunner] Executing: " + args.joinIntoString (" "));
    const auto startTime = juce::Time::getMillisecondCounterHiRes();

    auto collector = std::make_shared<OutputCollector>();

    if (! collector->process.start (args, bothOutputStreams))
    {
        result.errorMessage = "ERROR: Failed to start process: " + args[0];
        result.elapsedMs = juce::Time::getMillisecondCounterHiRes() - startTime;
        juce::Logger::writeToLog ("[SubprocessRunner] " + result.errorMessage);
        return result;
    }

    std::thread reader ([collector] { collector->readUntilEnd(); });
    juce::MemoryBlock collected;

    if (waitAndCollect (*collector, timeoutMs, collected))
    {
        result.timedOut = true;
        killAndReap (collector->process);
        juce::Logger::writeToLog ("[SubprocessRunner] Process timed out after " + juce::String (timeoutMs) + "ms");
    }
    else
    {
        drainAfterExit (*collector, collected);
    }

    releaseReader (reader, *collector);

    result.exitCode = (int) collector->process.getExitCode();
    result.output = decodeUTF8 (collected);
    result.elapsedMs = juce::Time::getMillisecondCounterHiRes() - startTime;
    logOutcome (result);
    return result;
}

//==============================================================================
bool SubprocessRunner::validateBinary (const juce::File& programFile)
{
    const auto path = programFile.getFullPathName();

    if (! programFile.existsAsFile())
    {
        juce::Logger::writeToLog ("[SubprocessRunner] Binary not found: " + path);
        return false;
    }

    juce::ChildProcess test;

    // Without the test utility there is nothing to contradict the file's use.
    if (! test.start (juce::StringArray ("test", "-x", path), bothOutputStreams))
        return true;

    constexpr int testLimitMs = 2000;
    test.waitForProcessToFinish (testLimitMs);

    if (test.getExitCode() != 0)
    {
        juce::Logger::writeToLog ("[SubprocessRunner] Binary not executable: " + path);
        return false;
    }

    return true;
}

bool SubprocessRunner::probeBinary (const juce::File& programFile, const juce::String& probeArgument)
{
    if (! validateBinary (programFile))
        return false;

    constexpr int probeLimitMs = 10000;
    const auto result = run (juce::StringArray (programFile.getFullPathName(), probeArgument), probeLimitMs, {});

    // A program killed at the limit also reads exit code 0, but it has not shown that it works.
    return result.exitCode == 0 && ! result.timedOut;
}
