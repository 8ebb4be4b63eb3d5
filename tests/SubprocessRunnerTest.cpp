#include <gtest/gtest.h>

#include "ProcessChecks.h"
#include "SubprocessRunner.h"
#include "TestFiles.h"
#include "TestSupport.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
    using testing_support::CapturingLogger;

    constexpr int shortLimitMs = 10000;

    SubprocessRunner::Result runShell (const juce::String& script, int timeoutMs = shortLimitMs)
    {
        return SubprocessRunner::run (juce::StringArray ("/bin/sh", "-c", script), timeoutMs, {});
    }

    /** A script that prints its first argument as it is. */
    SubprocessRunner::Result printVerbatim (const juce::String& text)
    {
        return SubprocessRunner::run (juce::StringArray ("/bin/sh", "-c", "printf %s \"$1\"", "sh", text), shortLimitMs, {});
    }

    /** True when some child of this process has ended without being reaped (and reaps it). */
    bool anyZombieChild()
    {
        return waitpid (-1, nullptr, WNOHANG) > 0;
    }

    /** A fresh directory, removed with everything in it at the end of the test. */
    struct TempDirectory
    {
        TempDirectory()   { directory.createDirectory(); }
        ~TempDirectory()  { directory.deleteRecursively(); }

        const juce::File directory = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                         .getChildFile ("voxmender-runner-" + juce::Uuid().toString());
    };

    juce::File writeScript (const juce::File& file, const juce::String& body, bool executable)
    {
        file.replaceWithText ("#!/bin/sh\n" + body + "\n", false, false, "\n");
        file.setExecutePermission (executable);
        return file;
    }

    /** How many descriptors this process has open, where the system lists them. */
    std::optional<int> openDescriptorCount()
    {
       #if defined(__linux__)
        auto* directory = opendir ("/proc/self/fd");

        if (directory == nullptr)
            return std::nullopt;

        int count = 0;

        while (const auto* entry = readdir (directory))
            if (entry->d_name[0] != '.')
                ++count;

        closedir (directory);
        return count;
       #else
        return std::nullopt;
       #endif
    }

    /** Waits for file to appear; false when it has not within a bound no healthy run comes near. */
    bool waitUntilExists (const juce::File& file)
    {
        constexpr int patienceMs = 30000;
        constexpr int checkIntervalMs = 10;

        for (int waitedMs = 0; ! file.exists(); waitedMs += checkIntervalMs)
        {
            if (waitedMs >= patienceMs)
                return false;

            juce::Thread::sleep (checkIntervalMs);
        }

        return true;
    }

    /** A run going on in another thread, as another job's would, whose child stays
        until it is released.
    */
    class RunInProgress
    {
    public:
        explicit RunInProgress (const juce::File& directory)
            : startedFile (directory.getChildFile ("started")),
              releaseFile (directory.getChildFile ("release")),
              thread ([this] { result = runShellWithArguments (": > \"$1\"; while [ ! -e \"$2\" ]; do sleep 0.05; done",
                                                               startedFile.getFullPathName(),
                                                               releaseFile.getFullPathName()); })
        {
        }

        ~RunInProgress()   { finish(); }

        bool waitUntilStarted() const   { return waitUntilExists (startedFile); }

        SubprocessRunner::Result finish()
        {
            if (thread.joinable())
            {
                releaseFile.create();
                thread.join();
            }

            return result;
        }

    private:
        const juce::File startedFile, releaseFile;
        SubprocessRunner::Result result;
        std::thread thread;

        static SubprocessRunner::Result runShellWithArguments (const char* script, const juce::String& first,
                                                               const juce::String& second)
        {
            constexpr int generousLimitMs = 60000;
            return SubprocessRunner::run (juce::StringArray ("/bin/sh", "-c", script, "sh", first, second), generousLimitMs, {});
        }
    };

    /** Replaces this process's standard input, for its lifetime, with a pipe that
        holds a line and stays open, as a terminal with a pending keypress would.
    */
    class PendingKeypressInput
    {
    public:
        PendingKeypressInput()
        {
            int ends[2] = { -1, -1 };
            savedInput = fcntl (STDIN_FILENO, F_DUPFD_CLOEXEC, 0);

            if (pipe (ends) != 0)
                return;

            fcntl (ends[1], F_SETFD, FD_CLOEXEC);
            writeEnd = ends[1];
            const char keypress[] = "q\n";
            ready = write (writeEnd, keypress, sizeof (keypress) - 1) == (ssize_t) (sizeof (keypress) - 1)
                     && dup2 (ends[0], STDIN_FILENO) == STDIN_FILENO;
            close (ends[0]);
        }

        ~PendingKeypressInput()
        {
            if (savedInput >= 0)
            {
                dup2 (savedInput, STDIN_FILENO);
                close (savedInput);
            }
            else
            {
                close (STDIN_FILENO);
            }

            if (writeEnd >= 0)
                close (writeEnd);
        }

        bool ready = false;

    private:
        int savedInput = -1;
        int writeEnd = -1;
    };
}

TEST (SubprocessRunner, EmptyArgumentListStartsNothing)
{
    CapturingLogger log;
    const auto result = SubprocessRunner::run ({}, shortLimitMs, {});

    EXPECT_EQ (result.errorMessage, "ERROR: Empty command arguments");
    EXPECT_EQ (result.exitCode, -1);
    EXPECT_EQ (result.elapsedMs, 0.0);
    EXPECT_FALSE (result.timedOut);
    EXPECT_TRUE (log.getMessages().isEmpty());
}

TEST (SubprocessRunner, ReportsExitCodeOutputAndLogLines)
{
    CapturingLogger log;
    const auto result = runShell ("printf 'hello\\n'; exit 3");

    EXPECT_EQ (result.exitCode, 3);
    EXPECT_EQ (result.output, "hello\n");
    EXPECT_TRUE (result.errorMessage.isEmpty());
    EXPECT_FALSE (result.timedOut);
    EXPECT_GT (result.elapsedMs, 0.0);

    const auto messages = log.getMessages();
    ASSERT_EQ (messages.size(), 3);
    EXPECT_EQ (messages[0], "[SubprocessRunner] Executing: /bin/sh -c printf 'hello\\n'; exit 3");
    EXPECT_TRUE (messages[1].startsWith ("[SubprocessRunner] Exit code: 3 | Elapsed: ")) << messages[1];
    EXPECT_TRUE (messages[1].endsWith ("ms"));
    EXPECT_TRUE (messages[1].fromFirstOccurrenceOf ("Elapsed: ", false, false)
                            .upToLastOccurrenceOf ("ms", false, false)
                            .matchesWildcard ("*.?", true)) << "one decimal: " << messages[1];
    EXPECT_EQ (messages[2], "[SubprocessRunner] Output: hello");
}

TEST (SubprocessRunner, CapturesBothStreamsThroughOnePipe)
{
    struct Case { const char* script; const char* output; const char* logLine; };

    const Case cases[] = {
        { "printf 'a'; printf 'b' >&2; printf 'c'", "abc",      "[SubprocessRunner] Output: abc" },
        { "printf 'oops\\n' >&2",                   "oops\n",   "[SubprocessRunner] Output: oops" },
        { "printf '  \\n \\n'",                     "  \n \n",  "[SubprocessRunner] Output: " },
        { "exit 0",                                "",         nullptr },   // nothing printed, no output line
    };

    for (const auto& c : cases)
    {
        CapturingLogger log;
        const auto result = runShell (c.script);

        EXPECT_EQ (result.exitCode, 0) << c.script;
        EXPECT_EQ (result.output, c.output) << c.script;
        const auto messages = log.getMessages();
        ASSERT_EQ (messages.size(), c.logLine != nullptr ? 3 : 2) << c.script;

        if (c.logLine != nullptr)
        {
            EXPECT_EQ (messages[2], c.logLine) << c.script;
        }
    }
}

TEST (SubprocessRunner, LogsOutputsShorterThan2000Characters)
{
    // Two- and three-byte characters, so that a count of bytes would cross the line early.
    const juce::String pattern (juce::CharPointer_UTF8 ("\xc3\xa9\xe2\x82\xac" "a"));

    for (const int length : { 1999, 2000 })
    {
        juce::String text;
        while (text.length() < length)
            text += pattern;
        text = text.substring (0, length);

        CapturingLogger log;
        const auto result = printVerbatim (text);

        EXPECT_EQ (result.output, text) << length;
        EXPECT_EQ (log.contains ("[SubprocessRunner] Output: " + text), length == 1999) << length;
        EXPECT_EQ (log.getMessages().size(), length == 1999 ? 3 : 2) << length;
    }
}

TEST (SubprocessRunner, PassesArgumentsAsTheyAreAndLeavesOutEmptyOnes)
{
    const auto result = SubprocessRunner::run (juce::StringArray ("/bin/sh", "-c", "printf '[%s]' \"$@\"", "sh",
                                                                  "two words", "", "it's \"quoted\""),
                                               shortLimitMs, {});

    EXPECT_EQ (result.output, "[two words][it's \"quoted\"]");
}

TEST (SubprocessRunner, KillsAChildThatOutlivesTheLimit)
{
    struct Case { const char* script; const char* output; };

    const Case cases[] = {
        { "exec sleep 30",                         "" },
        { "printf 'started\\n'; exec sleep 30",    "started\n" },
    };

    for (const auto& c : cases)
    {
        CapturingLogger log;
        const auto result = runShell (c.script, 300);

        EXPECT_TRUE (result.timedOut) << c.script;
        EXPECT_EQ (result.exitCode, 0) << c.script;
        EXPECT_EQ (result.output, c.output) << c.script;
        EXPECT_TRUE (result.errorMessage.isEmpty());

        const auto messages = log.getMessages();
        ASSERT_GE (messages.size(), 3);
        EXPECT_EQ (messages[1], "[SubprocessRunner] Process timed out after 300ms");
        EXPECT_TRUE (messages[2].startsWith ("[SubprocessRunner] Exit code: 0 | Elapsed: ")) << messages[2];

        EXPECT_FALSE (anyZombieChild()) << "the killed child was not reaped";
    }
}

TEST (SubprocessRunner, ProgramThatCannotBeExecutedExitsWith255)
{
    TempDirectory temp;
    const auto plainFile = writeScript (temp.directory.getChildFile ("not-executable"), "exit 0", false).getFullPathName();

    for (const auto& program : { juce::String ("/nonexistent/voxmender-program"), juce::String(),
                                        juce::String ("voxmender-program-not-on-the-path"), plainFile })
    {
        const auto result = SubprocessRunner::run (juce::StringArray (program, "--version"), shortLimitMs, {});

        EXPECT_EQ (result.exitCode, 255) << program;
        EXPECT_TRUE (result.output.isEmpty()) << program;
        EXPECT_TRUE (result.errorMessage.isEmpty()) << program;
        EXPECT_FALSE (result.timedOut) << program;
    }
}

TEST (SubprocessRunner, ValidateBinaryNeedsAnExecutableFile)
{
    TempDirectory temp;
    const auto folder = temp.directory.getChildFile ("with blanks");
    folder.createDirectory();

    const auto executable = writeScript (folder.getChildFile ("tool name"), "exit 0", true);
    const auto plainFile = writeScript (folder.getChildFile ("not-executable"), "exit 0", false);
    const auto missing = folder.getChildFile ("missing");

    struct Case { juce::File file; bool valid; const char* logPrefix; };

    const Case cases[] = {
        { executable, true,  nullptr },
        { folder,     false, "[SubprocessRunner] Binary not found: " },
        { missing,    false, "[SubprocessRunner] Binary not found: " },
        { plainFile,  false, "[SubprocessRunner] Binary not executable: " },
    };

    for (const auto& c : cases)
    {
        CapturingLogger log;
        EXPECT_EQ (SubprocessRunner::validateBinary (c.file), c.valid) << c.file.getFullPathName();

        const auto expectedLog = c.logPrefix != nullptr ? juce::StringArray (c.logPrefix + c.file.getFullPathName())
                                                        : juce::StringArray();
        EXPECT_EQ (log.getMessages(), expectedLog);
    }
}

TEST (SubprocessRunner, ProbeBinaryNeedsExitCodeZeroForTheProbe)
{
    TempDirectory temp;

    struct Case { const char* body; const char* argument; bool passes; };

    const Case cases[] = {
        { "[ \"$1\" = --version ]", "--version", true },
        { "exit 1",                 "--version", false },
        { "[ $# -eq 0 ]",           "",          true },   // an empty probe adds no argument
    };

    for (const auto& c : cases)
    {
        const auto script = writeScript (temp.directory.getNonexistentChildFile ("probe", ".sh"), c.body, true);
        EXPECT_EQ (SubprocessRunner::probeBinary (script, c.argument), c.passes) << c.body;
    }

    EXPECT_FALSE (SubprocessRunner::probeBinary (writeScript (temp.directory.getChildFile ("plain"), "exit 0", false), {}));
}

TEST (SubprocessRunner, StartFailsWhenEveryItemIsEmpty)
{
    CapturingLogger log;
    const auto result = SubprocessRunner::run (juce::StringArray ("", ""), shortLimitMs, {});

    EXPECT_EQ (result.errorMessage, "ERROR: Failed to start process: ");
    EXPECT_EQ (result.exitCode, -1);
    EXPECT_FALSE (result.timedOut);
    EXPECT_EQ (log.getMessages(), juce::StringArray ("[SubprocessRunner] Executing:  ",
                                                     "[SubprocessRunner] ERROR: Failed to start process: "));
}

TEST (SubprocessRunner, DrainReadsUntilEveryHolderOfTheOutputHasClosedIt)
{
    // The shell exits at once; what it left running with its output still writes after
    // that, well within the grace the output is given.
    const auto result = runShell ("(sleep 0.3; printf late) & printf early");

    EXPECT_EQ (result.exitCode, 0);
    EXPECT_EQ (result.output, "earlylate");
}

TEST (SubprocessRunner, EndsEverythingTheChildStarted)
{
    // Each script leaves a helper that would sleep for half a minute, once the helper
    // has written its pid.
    struct Case { const char* name; const char* helperRedirection; const char* rest; int timeoutMs; bool timedOut; const char* output; };

    const Case cases[] = {
        { "helper holds the output open",  "",                  "printf early",  shortLimitMs, false, "early" },
        { "helper writes elsewhere",       " > /dev/null 2>&1", "printf early",  shortLimitMs, false, "early" },
        { "child outlives the limit",      "",                  "exec sleep 30", 2000,         true,  "" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        TempDirectory temp;
        const auto pidFile = temp.directory.getChildFile ("helper.pid");
        const auto script = "sh -c 'echo $$ > \"$1\"; exec sleep 30' sh \"$1\"" + juce::String (c.helperRedirection) + " &\n"
                            "while [ ! -s \"$1\" ]; do sleep 0.01; done\n" + c.rest;

        const auto result = SubprocessRunner::run (juce::StringArray ("/bin/sh", "-c", script, "sh", pidFile.getFullPathName()),
                                                   c.timeoutMs, {});

        EXPECT_EQ (result.timedOut, c.timedOut);
        EXPECT_EQ (result.output, c.output);
        EXPECT_LT (result.elapsedMs, 10000.0) << "the call waited for the helper";

        const auto helper = pidFile.loadFileAsString().getIntValue();
        ASSERT_GT (helper, 0);
        EXPECT_TRUE (testing_support::endsSoon ((pid_t) helper)) << "the helper runs on";
    }
}

TEST (SubprocessRunner, TellsAChildEndedByASignalFromOneThatExited)
{
    struct Case { const char* script; int timeoutMs; int exitCode; int terminatingSignal; bool timedOut; };

    const Case cases[] = {
        { "printf partial; kill -KILL $$", shortLimitMs, 0, SIGKILL, false },
        { "kill -TERM $$",                 shortLimitMs, 0, SIGTERM, false },
        { "exit 3",                        shortLimitMs, 3, 0,       false },
        { "exit 0",                        shortLimitMs, 0, 0,       false },
        { "exec sleep 30",                 300,          0, 0,       true },   // the runner's own kill
    };

    for (const auto& c : cases)
    {
        const auto result = runShell (c.script, c.timeoutMs);

        EXPECT_EQ (result.exitCode, c.exitCode) << c.script;
        EXPECT_EQ (result.terminatingSignal, c.terminatingSignal) << c.script;
        EXPECT_EQ (result.timedOut, c.timedOut) << c.script;
    }
}

TEST (SubprocessRunner, ChildInputIsEmptyRatherThanThisProgramsInput)
{
    PendingKeypressInput input;
    ASSERT_TRUE (input.ready);

    // Reading this program's input would find the pending keypress, or wait for more.
    const auto result = runShell ("if read -r line; then printf 'read %s' \"$line\"; else printf 'end of input'; fi");

    EXPECT_FALSE (result.timedOut);
    EXPECT_EQ (result.output, "end of input");
}

TEST (SubprocessRunner, ChildHoldsNothingOfARunGoingOnInAnotherThread)
{
    // While a run is going on, its pipe is open in this process; a child started
    // meanwhile must not get a copy, or that copy keeps the other run's output open.
    const auto listOpenDescriptors = [] { return SubprocessRunner::run (juce::StringArray ("ls", "/dev/fd/"), shortLimitMs, {}); };

    const auto alone = listOpenDescriptors();
    ASSERT_EQ (alone.exitCode, 0) << alone.output;

    TempDirectory temp;
    RunInProgress other (temp.directory);
    ASSERT_TRUE (other.waitUntilStarted());

    const auto alongside = listOpenDescriptors();
    EXPECT_EQ (alongside.output, alone.output);

    const auto otherResult = other.finish();
    EXPECT_EQ (otherResult.exitCode, 0);
    EXPECT_FALSE (otherResult.timedOut);
}

TEST (SubprocessRunner, ParallelRunsKeepTheirOutputsAndLeaveOtherFilesAlone)
{
    // Runs on several threads while another thread keeps writing a file, as the jobs
    // of a batch do: a descriptor closed twice by a run would hit that file or
    // another run's pipe.
    constexpr int numThreads = 4;
    constexpr int runsPerThread = 10;
    constexpr size_t chunkBytes = 16384;
    constexpr int chunksPerFile = 16;

    TempDirectory temp;
    const auto writtenFile = temp.directory.getChildFile ("written.bin");
    std::atomic<bool> runsDone { false };
    std::atomic<int> filesWritten { 0 }, filesDamaged { 0 };

    std::thread writer ([&]
    {
        juce::MemoryBlock chunk (chunkBytes);

        for (size_t i = 0; i < chunkBytes; ++i)
            chunk[i] = (char) (i * 7);

        while (! runsDone || filesWritten == 0)
        {
            writtenFile.deleteFile();
            bool ok;
            {
                juce::FileOutputStream stream (writtenFile);
                ok = stream.openedOk();

                for (int c = 0; ok && c < chunksPerFile; ++c)
                    ok = stream.write (chunk.getData(), chunk.getSize());

                stream.flush();
                ok = ok && stream.getStatus().wasOk();
            }

            juce::MemoryBlock readBack;
            ok = ok && writtenFile.loadFileAsData (readBack) && readBack.getSize() == chunkBytes * chunksPerFile
                 && memcmp (readBack.getData(), chunk.getData(), chunkBytes) == 0;

            ++filesWritten;
            filesDamaged += ok ? 0 : 1;
        }
    });

    std::vector<juce::StringArray> mismatches (numThreads);
    std::vector<std::thread> runners;

    for (int t = 0; t < numThreads; ++t)
        runners.emplace_back ([t, &mismatches]
        {
            for (int r = 0; r < runsPerThread; ++r)
            {
                const auto token = "job-" + juce::String (t) + "-" + juce::String (r);
                const auto exitCode = (t + r) % 7;
                const auto result = runShell ("printf %s " + token + "; printf . >&2; exit " + juce::String (exitCode));

                if (result.output != token + "." || result.exitCode != exitCode || result.timedOut)
                    mismatches[(size_t) t].add (token + ": " + juce::String (result.exitCode) + " " + result.output);
            }
        });

    for (auto& runner : runners)
        runner.join();

    runsDone = true;
    writer.join();

    for (const auto& threadMismatches : mismatches)
        EXPECT_EQ (threadMismatches, juce::StringArray());

    EXPECT_EQ (filesDamaged, 0) << "of " << filesWritten;
}

TEST (SubprocessRunner, LeavesNoDescriptorsOrChildrenBehind)
{
    TempDirectory temp;
    const auto executable = writeScript (temp.directory.getChildFile ("tool"), "exit 0", true);
    const auto plainFile = writeScript (temp.directory.getChildFile ("plain"), "exit 0", false);
    const auto before = openDescriptorCount();

    runShell ("printf out; printf err >&2");
    runShell ("exit 4");
    runShell ("exec sleep 30", 100);
    SubprocessRunner::run (juce::StringArray ("/nonexistent/voxmender-program"), shortLimitMs, {});
    SubprocessRunner::run (juce::StringArray ("", ""), shortLimitMs, {});
    SubprocessRunner::validateBinary (executable);
    SubprocessRunner::validateBinary (plainFile);
    SubprocessRunner::probeBinary (executable, "--version");

    EXPECT_FALSE (anyZombieChild());

    if (before.has_value())
    {
        EXPECT_EQ (openDescriptorCount(), before);
    }
}

TEST (SubprocessRunner, ReadsAsFastAsTheChildWritesAndKeepsBothEndsOfALongOutput)
{
    // 16 MiB would take minutes at a few kilobytes per step; the limit leaves room for
    // a slow machine, not for a throttled read. Each end is cut at a whole character.
    constexpr int limitMs = 20000;
    const auto euro = juce::String (juce::CharPointer_UTF8 ("\xe2\x82\xac"));

    struct Case { const char* name; juce::String script, head, tail; int droppedBytes; };

    const Case cases[] = {
        { "16 MiB in one line", "head -c 16777216 /dev/zero | tr '\\0' x",
          juce::String::repeatedString ("x", 65536), juce::String::repeatedString ("x", 65536), 16777216 - 131072 },
        { "three-byte characters across both cuts", "yes '" + euro + "' | head -n 100000 | tr -d '\\n'",
          juce::String::repeatedString (euro, 21845), juce::String::repeatedString (euro, 21845), 300000 - 2 * 65535 },
        { "exactly what is kept", "head -c 131072 /dev/zero | tr '\\0' y",
          juce::String::repeatedString ("y", 131072), {}, 0 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto result = runShell (c.script, limitMs);

        EXPECT_FALSE (result.timedOut) << "after " << result.elapsedMs << " ms";
        EXPECT_EQ (result.exitCode, 0);

        const auto expected = c.droppedBytes == 0
                                  ? c.head + c.tail
                                  : c.head + "\n[... " + juce::String (c.droppedBytes) + " bytes of output dropped ...]\n" + c.tail;
        EXPECT_TRUE (result.output == expected) << result.output.length() << " characters: "
                                                << result.output.substring (65530, 65600);
    }
}

TEST (SubprocessRunner, AChildThatIsStoppedAndContinuedRunsOn)
{
    // A debugger, a job-control stop or a resource manager may stop a child for a moment.
    // Continued twice, in case the shell was slow to stop; the helper holds no output.
    const auto result = runShell ("( sleep 1; kill -CONT $$; sleep 2; kill -CONT $$ ) > /dev/null 2>&1 &"
                                  " kill -STOP $$; printf resumed; exit 0");

    EXPECT_EQ (result.output, "resumed");
    EXPECT_EQ (result.exitCode, 0);
    EXPECT_EQ (result.terminatingSignal, 0);
    EXPECT_FALSE (result.timedOut);
}

TEST (SubprocessRunner, AStatusCollectedElsewhereCountsAsAFailure)
{
    // With SIGCHLD ignored the system discards every child's status, good or bad.
    struct IgnoredChildSignal
    {
        IgnoredChildSignal()
        {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigaction (SIGCHLD, &ignore, &previous);
        }

        ~IgnoredChildSignal()  { sigaction (SIGCHLD, &previous, nullptr); }

        struct sigaction previous {};
    };

    for (const auto* script : { "exit 0", "printf done; exit 7" })
    {
        SCOPED_TRACE (script);
        CapturingLogger log;
        IgnoredChildSignal ignored;
        const auto result = runShell (script);

        EXPECT_TRUE (result.statusLost);
        EXPECT_EQ (result.exitCode, -1);
        EXPECT_FALSE (result.timedOut);
        EXPECT_TRUE (log.contains ("[SubprocessRunner] Exit status lost (collected outside this program); "
                                   "the run counts as failed"));
        const auto messages = log.getMessages();
        EXPECT_TRUE (std::any_of (messages.begin(), messages.end(), [] (const juce::String& line)
                                  { return line.startsWith ("[SubprocessRunner] Exit code: -1 | Elapsed: "); }))
            << messages.joinIntoString ("\n");
    }

    const auto afterwards = runShell ("exit 7");
    EXPECT_FALSE (afterwards.statusLost);
    EXPECT_EQ (afterwards.exitCode, 7);
}

TEST (SubprocessRunner, ChildGetsOnlyTheStandardStreams)
{
    const testing_support::ScopedEnvironment mode ("VOXMENDER_STANDIN_MODE", "fds");

    // Opened as JUCE opens its files, without close-on-exec.
    const auto inheritable = open ("/dev/null", O_RDONLY);
    ASSERT_GE (inheritable, 0);

    const auto result = SubprocessRunner::run (juce::StringArray (VOXMENDER_STANDIN, "/nonexistent/take.wav", "--output-dir", "/nonexistent"),
                                               shortLimitMs, {});
    close (inheritable);

    EXPECT_TRUE (result.output.startsWith ("open descriptors: 0 1 2\n")) << result.output;
}
