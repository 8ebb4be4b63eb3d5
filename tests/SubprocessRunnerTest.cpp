#include <gtest/gtest.h>

#include "SubprocessRunner.h"
#include "TestSupport.h"

#include <sys/wait.h>

namespace juce
{
    // Readable failure messages for lists of lines.
    static void PrintTo (const StringArray& lines, std::ostream* stream)
    {
        *stream << "[" << lines.joinIntoString (" | ") << "]";
    }
}

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
    for (const char* program : { "/nonexistent/voxmender-program", "" })
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
