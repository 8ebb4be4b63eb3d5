// The command line and the batch runner are tested through the built program:
// its two streams, its exit status and the files it leaves.

#include <gtest/gtest.h>

#include "Main.h"
#include "TestFiles.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace
{
    struct ProgramRun
    {
        std::string out;
        std::string err;
        int status = -1;
    };

    /** Longer than any run of the tests takes, even under the sanitizers: a run that
        outlasts it hangs, and is killed so that the test fails instead of waiting forever.
    */
    constexpr auto hangLimit = std::chrono::minutes (5);

    /** Runs the program with the given arguments, reading both streams to the end.
        Relative paths in the arguments are taken from workingDirectory when one is given.
        When standardOutput names a file, standard output goes there instead of being read.
    */
    ProgramRun runProgram (const std::vector<std::string>& args, const juce::File& workingDirectory = {},
                           const char* standardOutput = nullptr)
    {
        const auto directory = workingDirectory.getFullPathName().toStdString();

        int outPipe[2], errPipe[2];
        if (pipe (outPipe) != 0 || pipe (errPipe) != 0)
            return {};

        const pid_t pid = fork();
        if (pid == 0)
        {
            const auto outTarget = standardOutput != nullptr ? open (standardOutput, O_WRONLY) : outPipe[1];
            dup2 (outTarget, STDOUT_FILENO);
            dup2 (errPipe[1], STDERR_FILENO);
            close (outPipe[0]); close (outPipe[1]);
            close (errPipe[0]); close (errPipe[1]);

            if (! directory.empty() && chdir (directory.c_str()) != 0)
                _exit (126);

            std::vector<char*> argv;
            argv.push_back (const_cast<char*> (VOXMENDER_PROGRAM));
            for (auto& a : args)
                argv.push_back (const_cast<char*> (a.c_str()));
            argv.push_back (nullptr);

            execv (VOXMENDER_PROGRAM, argv.data());
            _exit (127);
        }

        close (outPipe[1]);
        close (errPipe[1]);

        ProgramRun run;
        pollfd fds[2] = { { outPipe[0], POLLIN, 0 }, { errPipe[0], POLLIN, 0 } };
        std::string* sinks[2] = { &run.out, &run.err };
        int open = 2;
        const auto deadline = std::chrono::steady_clock::now() + hangLimit;

        while (open > 0)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (deadline - std::chrono::steady_clock::now());

            if (left.count() <= 0)
            {
                ADD_FAILURE() << "the program hung";
                kill (pid, SIGKILL);
                break;
            }

            if (poll (fds, 2, (int) left.count()) < 0)
                break;

            for (int i = 0; i < 2; ++i)
            {
                if (fds[i].fd < 0 || fds[i].revents == 0)
                    continue;

                char buffer[4096];
                const auto n = read (fds[i].fd, buffer, sizeof (buffer));
                if (n > 0)
                {
                    sinks[i]->append (buffer, (size_t) n);
                }
                else
                {
                    close (fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }

        for (const auto& fd : fds)
            if (fd.fd >= 0)
                close (fd.fd);

        int waitStatus = 0;
        waitpid (pid, &waitStatus, 0);
        run.status = WIFEXITED (waitStatus) ? WEXITSTATUS (waitStatus) : -1;
        return run;
    }

    const std::string usageText =
        "\n"
        "Voxmender Audio Engine (Batch CPU-Aware)\n"
        "\n"
        "Usage:\n"
        "  voxmender-audio-engine [options]\n"
        "\n"
        "IO Options:\n"
        "  --input <file>           Single input WAV file\n"
        "  --output <file>          Single output WAV file\n"
        "  --input-dir <dir>        Batch input directory\n"
        "  --output-dir <dir>       Batch output directory\n"
        "\n"
        "Audio Options:\n"
        "  --denoise <bool>         Enable AI noise reduction (default: true)\n"
        "  --compressor <bool>      Enable macro-dynamics compressor (default: true)\n"
        "  --eq <bool>              Enable corrective/enhancement EQ (default: true)\n"
        "  --voice-type <str>       'Male' or 'Female' (default: Male)\n"
        "  --target-lufs <float>    Target loudness (default: -14.0)\n"
        "\n"
        "System Options:\n"
        "  --deepfilter-path <path> Path to DeepFilterNet3 binary\n"
        "  --ffmpeg-path <path>     Path to FFmpeg binary\n"
        "  --help, -h               Show this help message\n"
        "\n";   // std::endl

    std::string errorLines (const std::string& reason)
    {
        return "ERROR: " + reason + "\nRun with --help for usage information.\n";
    }

    const std::string incomplete = errorLines ("Must specify either --input/--output or --input-dir/--output-dir.");

    struct CliCase
    {
        const char* name;
        std::vector<std::string> args;
        std::string out;
        std::string err;
        int status;
    };

    // Command lines that end before any file is touched: the usage text or an error.
    const std::vector<CliCase> cliCases =
    {
        { "NoArguments",             {},                                                    "", incomplete, 1 },
        { "HelpAlone",               { "--help" },                                          usageText, "", 0 },
        { "ShortHelpAlone",          { "-h" },                                              usageText, "", 0 },
        { "HelpAfterValidOptions",   { "--input", "a.wav", "--output", "b.wav", "-h" },     usageText, "", 0 },
        { "HelpAfterPartialOptions", { "--input", "a.wav", "--help" },                      usageText, "", 0 },
        { "HelpAsAValueIncomplete",  { "--voice-type", "--help" },                          "", incomplete, 1 },
        { "WrongCaseName",           { "--Input", "a.wav", "--output", "b.wav" },           "", errorLines ("Unknown argument: --Input"), 1 },
        { "TrailingWord",            { "--input", "a.wav", "--output", "b.wav", "extra" },  "", errorLines ("Missing value for argument: extra"), 1 },
        { "UnknownLastWord",         { "--input", "a.wav", "--bogus" },                     "", errorLines ("Missing value for argument: --bogus"), 1 },
        { "KnownNameWithoutValue",   { "--input", "a.wav", "--output" },                    "", errorLines ("Missing value for argument: --output"), 1 },
        { "UnknownBeforeHelp",       { "--bogus", "x", "--help" },                          "", errorLines ("Unknown argument: --bogus"), 1 },
        { "FirstErrorWins",          { "--bogus", "x", "--other" },                         "", errorLines ("Unknown argument: --bogus"), 1 },
        { "EmptyInput",              { "--input", "", "--output", "b.wav" },                "", incomplete, 1 },
        { "EmptyOutputDir",          { "--input-dir", "in", "--output-dir", "" },           "", incomplete, 1 },
        { "OnlyInput",               { "--input", "a.wav" },                                "", incomplete, 1 },
        { "OnlyOutputDir",           { "--output-dir", "out" },                             "", incomplete, 1 },
        { "RepeatedOptionEmptied",   { "--input", "a.wav", "--output", "b.wav", "--input", "" }, "", incomplete, 1 },
        { "NonAsciiName",            { "--v\xc3\xb6ice", "x" },                             "", errorLines ("Unknown argument: --v\xc3\xb6ice"), 1 },
        { "NonAsciiMissingValue",    { "--input", "a", "\xe9\x9f\xb3\xf0\x9f\x8e\x99" },    "", errorLines ("Missing value for argument: \xe9\x9f\xb3\xf0\x9f\x8e\x99"), 1 },
    };

    void PrintTo (const CliCase& c, std::ostream* os) { *os << c.name; }

    class CommandLine : public ::testing::TestWithParam<CliCase> {};

    //==============================================================================
    /** A fresh directory for one test, removed with everything in it afterwards. */
    struct ScratchDirectory
    {
        ScratchDirectory()   { directory.createDirectory(); }
        ~ScratchDirectory()  { directory.deleteRecursively(); }

        juce::File operator/ (const std::string& relativePath) const
        {
            return directory.getChildFile (juce::String::fromUTF8 (relativePath.c_str()));
        }

        // A unique name: the tests run as parallel processes, which could all pick the same free name.
        const juce::File directory = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                         .getChildFile ("voxmender-main-test-" + juce::Uuid().toDashedString());
    };

    /** The lines the run logs before any job starts, for this machine. */
    std::string workerLines()
    {
        const auto plan = chooseWorkerCount (std::thread::hardware_concurrency(), readProcessorBrand());
        return plan.topologyLine.toStdString() + "\n"
             + "[System] Initializing ThreadPool with " + std::to_string (plan.workerCount) + " workers.\n";
    }

    const std::string noFilesLine = "[System] No files found to process.\n";

    std::string summaryLine (int succeeded, int failed)
    {
        return "{\"status\":\"batch_complete\",\"success\":" + std::to_string (succeeded)
             + ",\"failed\":" + std::to_string (failed) + "}\n";
    }

    std::vector<std::string> splitLines (const std::string& text)
    {
        std::vector<std::string> lines;
        size_t start = 0;

        for (auto end = text.find ('\n'); end != std::string::npos; start = end + 1, end = text.find ('\n', start))
            lines.push_back (text.substr (start, end - start));

        if (start < text.size())
            lines.push_back (text.substr (start));

        return lines;
    }

    const std::string failureLineStart = "[Error] Failed processing ";

    /** The "[Error] Failed processing " lines, sorted: the order of parallel jobs is not fixed. */
    std::vector<std::string> failureLinesOf (const std::string& log)
    {
        std::vector<std::string> lines;

        for (const auto& line : splitLines (log))
            if (line.rfind (failureLineStart, 0) == 0)
                lines.push_back (line);

        std::sort (lines.begin(), lines.end());
        return lines;
    }

    /** The file names of the failure lines, sorted. */
    std::vector<std::string> namesOfFailedFiles (const std::string& log)
    {
        std::vector<std::string> names;

        for (const auto& line : failureLinesOf (log))
            names.push_back (line.substr (failureLineStart.size(), line.find (": ", failureLineStart.size()) - failureLineStart.size()));

        std::sort (names.begin(), names.end());
        return names;
    }

    /** The failure line of one file, with its reason. */
    std::string failureLine (const std::string& fileName, const std::string& reason)
    {
        return failureLineStart + fileName + ": " + reason;
    }

    //==============================================================================
    // Command lines that run: they now reach the batch runner, whose summary and
    // status show what it made of them. The inputs named here do not exist.
    struct RunCase
    {
        const char* name;
        std::vector<std::string> args;
        std::string out;
        int status;
        std::vector<std::string> failedFiles;
    };

    const std::vector<RunCase> runCases =
    {
        { "SingleFile",           { "--input", "in.wav", "--output", "out/out.wav" },       summaryLine (0, 1), 2, { "in.wav" } },
        { "HelpAsAValue",         { "--voice-type", "--help", "--input", "a", "--output", "b" }, summaryLine (0, 1), 2, { "a" } },
        { "FileIntoDirectory",    { "--input", "a.wav", "--output-dir", "out" },            summaryLine (0, 1), 2, { "a.wav" } },
        { "RepeatedOptionFilled", { "--input", "", "--output", "b.wav", "--input", "a.wav" }, summaryLine (0, 1), 2, { "a.wav" } },
        { "BooleanSpellings",     { "--denoise", "TRUE", "--compressor", "yes", "--eq", "0", "--input", "a", "--output", "b" }, summaryLine (0, 1), 2, { "a" } },
        { "NumbersThatDoNotRead", { "--target-lufs", "-16,5", "--bypass-stage", "3x", "--input", "a", "--output", "b" }, summaryLine (0, 1), 2, { "a" } },
        { "NonAsciiPaths",        { "--input", "caf\xc3\xa9/\xe9\x9f\xb3.wav", "--output", "\xf0\x9f\x8e\x99/out.wav" }, summaryLine (0, 1), 2, { "\xe9\x9f\xb3.wav" } },
        { "Batch",                { "--input-dir", "in", "--output-dir", "out" },           "", 0, {} },
        { "DirectoryIntoFile",    { "--input-dir", "in", "--output", "b.wav" },             "", 0, {} },
    };

    void PrintTo (const RunCase& c, std::ostream* os) { *os << c.name; }

    class RunningCommandLine : public ::testing::TestWithParam<RunCase> {};
}

TEST_P (CommandLine, StreamsAndStatusAreExact)
{
    const auto& c = GetParam();
    const auto run = runProgram (c.args);

    EXPECT_EQ (run.out, c.out);
    EXPECT_EQ (run.err, c.err);
    EXPECT_EQ (run.status, c.status);
}

INSTANTIATE_TEST_SUITE_P (Cases, CommandLine, ::testing::ValuesIn (cliCases),
                          [] (const auto& info) { return std::string (info.param.name); });

TEST_P (RunningCommandLine, ReachesTheBatchRunner)
{
    const auto& c = GetParam();
    const ScratchDirectory scratch;
    const auto run = runProgram (c.args, scratch.directory);

    EXPECT_EQ (run.out, c.out);
    EXPECT_EQ (run.status, c.status);
    EXPECT_EQ (run.err.rfind (workerLines(), 0), 0u) << run.err;
    EXPECT_EQ (namesOfFailedFiles (run.err), c.failedFiles) << run.err;
}

INSTANTIATE_TEST_SUITE_P (Cases, RunningCommandLine, ::testing::ValuesIn (runCases),
                          [] (const auto& info) { return std::string (info.param.name); });

TEST (CommandLineUsage, IsTheDocumentedTwentyThreeLines)
{
    const auto run = runProgram ({ "--help" });

    ASSERT_EQ (run.status, 0);
    // 828 bytes of text, then the newline of std::endl.
    EXPECT_EQ (run.out.size(), 829u);
    EXPECT_EQ (std::count (run.out.begin(), run.out.end(), '\n'), 24);
    EXPECT_EQ (run.out, usageText);
}

//==============================================================================
namespace
{
    /** One second of speech-like sound; the seed makes every take's noise its own. */
    void writeTake (const juce::File& file, int seed, double sampleRate = 48000.0, int numChannels = 1)
    {
        file.getParentDirectory().createDirectory();
        testing_support::writeWav (file, testing_support::makeSpeechLike (numChannels, (int) sampleRate, sampleRate, seed),
                                   sampleRate);
    }

    enum class Entry { take, notAudio, directory, fifo };

    struct Fixture
    {
        std::string path;
        Entry entry;
    };

    void makeFixtures (const ScratchDirectory& scratch, const std::vector<Fixture>& fixtures)
    {
        int seed = 1;

        for (const auto& fixture : fixtures)
        {
            const auto file = scratch / fixture.path;

            switch (fixture.entry)
            {
                case Entry::take:       writeTake (file, seed++); break;
                case Entry::notAudio:   file.getParentDirectory().createDirectory();
                                        file.replaceWithText ("not audio"); break;
                case Entry::directory:  file.createDirectory(); break;
                case Entry::fifo:       file.getParentDirectory().createDirectory();
                                        ASSERT_EQ (mkfifo (file.getFullPathName().toRawUTF8(), 0644), 0); break;
            }
        }
    }

    //==============================================================================
    struct BatchCase
    {
        const char* name;
        std::vector<Fixture> fixtures;
        std::vector<std::string> args;      // run from the scratch directory, noise reduction off
        std::string out;
        int status;
        std::vector<std::string> failedFiles;
        std::vector<std::string> present;   // paths that exist after the run; "dir/" is a directory
        std::vector<std::string> absent;    // paths that do not
        std::vector<std::string> failureLines = {};   // when given, all of them; "@" is the scratch directory
    };

    const std::vector<BatchCase> batchCases =
    {
        { "ListingTakesWavFilesInAnyCaseOnly",
          { { "in/a.wav", Entry::take }, { "in/B.WAV", Entry::take }, { "in/c.Wav", Entry::take },
            { "in/d.mp3", Entry::take }, { "in/e.wav", Entry::directory }, { "in/._a.wav", Entry::notAudio } },
          { "--input-dir", "in", "--output-dir", "out" },
          summaryLine (3, 1), 2, { "._a.wav" },
          { "out/a.wav", "out/B.WAV", "out/c.Wav" }, { "out/d.mp3", "out/e.wav" } },

        { "AllSucceedIntoANewOutputDirectory",
          { { "in/Take1.WAV", Entry::take }, { "in/take2.wav", Entry::take }, { "in/take3.wav", Entry::take } },
          { "--input-dir", "in", "--output-dir", "new/out" },
          summaryLine (3, 0), 0, {},
          { "new/out/Take1.WAV", "new/out/take2.wav", "new/out/take3.wav" }, {} },

        { "OneOfThreeFails",
          { { "in/one.wav", Entry::take }, { "in/two.wav", Entry::notAudio }, { "in/three.wav", Entry::take } },
          { "--input-dir", "in", "--output-dir", "out" },
          summaryLine (2, 1), 2, { "two.wav" },
          { "out/one.wav", "out/three.wav" }, { "out/two.wav" } },

        { "SingleFileIntoOutputDirectory",
          { { "in/Take1.WAV", Entry::take }, { "out", Entry::directory } },
          { "--input", "in/Take1.WAV", "--output-dir", "out" },
          summaryLine (1, 0), 0, {},
          { "out/Take1.WAV" }, {} },

        { "SingleFileWithBothOutputsWritesIntoTheDirectory",
          { { "in/x.wav", Entry::take }, { "out", Entry::directory } },
          { "--input", "in/x.wav", "--output", "elsewhere/y.wav", "--output-dir", "out" },
          summaryLine (1, 0), 0, {},
          { "out/x.wav", "elsewhere" }, { "elsewhere/y.wav" } },

        { "InputDirectoryWinsOverInputFile",
          { { "in/a.wav", Entry::take }, { "lone/solo.wav", Entry::take } },
          { "--input-dir", "in", "--input", "lone/solo.wav", "--output-dir", "out" },
          summaryLine (1, 0), 0, {},
          { "out/a.wav" }, { "out/solo.wav" } },

        { "BatchWithBothOutputsWritesIntoTheDirectory",
          { { "in/a.wav", Entry::take }, { "in/b.wav", Entry::take } },
          { "--input-dir", "in", "--output-dir", "out", "--output", "x/y.wav" },
          summaryLine (2, 0), 0, {},
          { "out/a.wav", "out/b.wav" }, { "x" } },

        { "BatchIntoOneOutputFile",
          { { "in/a.wav", Entry::take }, { "in/b.wav", Entry::take } },
          { "--input-dir", "in", "--output", "shared.wav" },
          summaryLine (2, 0), 0, {},
          { "shared.wav" }, {} },

        { "MissingSingleInput",
          {},
          { "--input", "nothere.wav", "--output", "out/o.wav" },
          summaryLine (0, 1), 2, { "nothere.wav" },
          { "out" }, { "out/o.wav" } },

        { "EmptyDirectory",
          { { "in", Entry::directory } },
          { "--input-dir", "in", "--output-dir", "out" },
          "", 0, {},
          { "out" }, {} },

        { "MissingDirectory",
          {},
          { "--input-dir", "nothere", "--output-dir", "out" },
          "", 0, {},
          { "out" }, {} },

        // Opening a FIFO waits for a writer that never comes.
        { "FifoAmongTakesFailsAloneAndGetsNothing",
          { { "in/a.wav", Entry::take }, { "in/f.wav", Entry::fifo }, { "in/b.wav", Entry::take } },
          { "--input-dir", "in", "--output-dir", "out" },
          summaryLine (2, 1), 2, { "f.wav" },
          { "out/a.wav", "out/b.wav" }, { "out/f.wav" },
          { failureLine ("f.wav", "Not a regular file: @/in/f.wav") } },

        { "FifoAsTheSingleInputGetsNothing",
          { { "in/f.wav", Entry::fifo } },
          { "--input", "in/f.wav", "--output", "out/f.wav" },
          summaryLine (0, 1), 2, { "f.wav" },
          { "out/" }, { "out/f.wav", "out/_stage0_prefiltered.wav" },
          { failureLine ("f.wav", "Not a regular file: @/in/f.wav") } },

        { "DirectoryAsTheSingleInput",
          { { "in/d.wav", Entry::directory } },
          { "--input", "in/d.wav", "--output", "out/d.wav" },
          summaryLine (0, 1), 2, { "d.wav" },
          { "in/d.wav/" }, { "out/d.wav" },
          { failureLine ("d.wav", "Not a regular file: @/in/d.wav") } },

        { "OutputThatIsAnEmptyDirectoryStaysOne",
          { { "in/a.wav", Entry::take }, { "mastered", Entry::directory } },
          { "--input", "in/a.wav", "--output", "mastered" },
          summaryLine (0, 1), 2, { "a.wav" },
          { "mastered/" }, {},
          { failureLine ("a.wav", "Failed to create output file: @/mastered") } },

        { "OutputInTheDirectoryThatIsADirectoryStaysOne",
          { { "in/a.wav", Entry::take }, { "in/b.wav", Entry::take }, { "out/a.wav", Entry::directory } },
          { "--input-dir", "in", "--output-dir", "out" },
          summaryLine (1, 1), 2, { "a.wav" },
          { "out/a.wav/", "out/b.wav" }, {},
          { failureLine ("a.wav", "Failed to create output file: @/out/a.wav") } },
    };

    /** The lines with "@" standing for the directory. */
    std::vector<std::string> placedIn (const juce::File& directory, std::vector<std::string> lines)
    {
        const auto path = directory.getFullPathName().toStdString();

        for (auto& line : lines)
            for (auto at = line.find ('@'); at != std::string::npos; at = line.find ('@', at + path.size()))
                line.replace (at, 1, path);

        std::sort (lines.begin(), lines.end());
        return lines;
    }

    void PrintTo (const BatchCase& c, std::ostream* os) { *os << c.name; }

    class BatchRun : public ::testing::TestWithParam<BatchCase> {};
}

TEST_P (BatchRun, ListsNamesCountsAndEnds)
{
    const auto& c = GetParam();
    const ScratchDirectory scratch;
    makeFixtures (scratch, c.fixtures);

    auto args = c.args;
    args.insert (args.end(), { "--denoise", "false" });
    const auto run = runProgram (args, scratch.directory);

    EXPECT_EQ (run.out, c.out);
    EXPECT_EQ (run.status, c.status);
    EXPECT_EQ (namesOfFailedFiles (run.err), c.failedFiles) << run.err;

    // The worker lines come before anything a job logs; with nothing to do, the notice follows alone.
    if (c.out.empty())
        EXPECT_EQ (run.err, workerLines() + noFilesLine);
    else
        EXPECT_EQ (run.err.rfind (workerLines(), 0), 0u) << run.err;

    if (! c.failureLines.empty())
    {
        EXPECT_EQ (failureLinesOf (run.err), placedIn (scratch.directory, c.failureLines));
    }

    for (const auto& path : c.present)
        EXPECT_TRUE (path.back() == '/' ? (scratch / path).isDirectory() : (scratch / path).exists()) << path;

    for (const auto& path : c.absent)
        EXPECT_FALSE ((scratch / path).exists()) << path;

    // Whatever happened to a file, its work is cleared away.
    for (const auto& entry : testing_support::listTree (scratch.directory))
        EXPECT_FALSE (entry.contains ("_pipeline_work_")) << entry;
}

INSTANTIATE_TEST_SUITE_P (Cases, BatchRun, ::testing::ValuesIn (batchCases),
                          [] (const auto& info) { return std::string (info.param.name); });

//==============================================================================
namespace
{
    const std::string ruleLine (40, '=');
    const std::string doubleRuleLine = juce::String::repeatedString (juce::String::fromUTF8 ("\xe2\x95\x90"), 40).toStdString();

    /** A line of the log that holds the start of a second message, or the empty line
        that two messages leave when their newlines come after both texts.
    */
    bool isTwoLinesRunTogether (const std::string& line)
    {
        if (line.empty())
            return true;

        if (line == ruleLine || line == doubleRuleLine)
            return false;

        for (const auto* tag : { "[System] ", "[Error] ", "[SubprocessRunner] ", "[NoiseReducer", "[AudioPipeline",
                                 "[AutoMap] ", "[GainStaging] ", "[AudioAnalyzer" })
            if (line.find (tag, 1) != std::string::npos)
                return true;

        return line.find (ruleLine) != std::string::npos || line.find (doubleRuleLine) != std::string::npos;
    }
}

TEST (ParallelBatch, SixteenFilesAtOnceMatchOneAtATime)
{
    const auto ffmpeg = testing_support::findFFmpeg().toStdString();
    ASSERT_FALSE (ffmpeg.empty()) << "FFmpeg is needed for this test and was not found";

    const ScratchDirectory scratch;
    constexpr int numTakes = 16;
    std::vector<std::string> names;

    // Half the takes are not at the denoiser's rate, so FFmpeg runs for them as well.
    for (int i = 0; i < numTakes; ++i)
    {
        names.push_back ("take" + std::to_string (i) + ".wav");
        writeTake (scratch / ("in/" + names.back()), i + 1, i % 2 == 0 ? 48000.0 : 44100.0, 1 + i % 3 / 2);
    }

    const std::vector<std::string> tools { "--deepfilter-path", VOXMENDER_STANDIN, "--ffmpeg-path", ffmpeg };

    auto batchArgs = std::vector<std::string> { "--input-dir", "in", "--output-dir", "batch" };
    batchArgs.insert (batchArgs.end(), tools.begin(), tools.end());
    const auto batch = runProgram (batchArgs, scratch.directory);

    ASSERT_EQ (batch.status, 0) << batch.err;
    EXPECT_EQ (batch.out, summaryLine (numTakes, 0));

    for (const auto& line : splitLines (batch.err))
        EXPECT_FALSE (isTwoLinesRunTogether (line)) << line;

    for (const auto& name : names)
    {
        auto args = std::vector<std::string> { "--input", "in/" + name, "--output", "single/" + name };
        args.insert (args.end(), tools.begin(), tools.end());
        const auto single = runProgram (args, scratch.directory);
        ASSERT_EQ (single.status, 0) << single.err;

        const auto feed = name.substr (0, name.size() - 4) + "_asr_feed.wav";

        for (const auto& file : { name, feed })
        {
            ASSERT_TRUE ((scratch / ("batch/" + file)).existsAsFile()) << file;
            EXPECT_TRUE ((scratch / ("batch/" + file)).hasIdenticalContentTo (scratch / ("single/" + file))) << file;
        }
    }
}

TEST (ParallelBatch, EachDenoiserGetsOnlyTheStandardStreams)
{
    // While one job's denoiser starts, the other jobs have their own files open.
    const auto ffmpeg = testing_support::findFFmpeg().toStdString();
    ASSERT_FALSE (ffmpeg.empty()) << "FFmpeg is needed for this test and was not found";

    const ScratchDirectory scratch;
    constexpr int numTakes = 8;

    for (int i = 0; i < numTakes; ++i)
        writeTake (scratch / ("in/take" + std::to_string (i) + ".wav"), i + 1, i % 2 == 0 ? 48000.0 : 44100.0, 1);

    const testing_support::ScopedEnvironment mode ("VOXMENDER_STANDIN_MODE", "fds");
    const auto batch = runProgram ({ "--input-dir", "in", "--output-dir", "out",
                                     "--deepfilter-path", VOXMENDER_STANDIN, "--ffmpeg-path", ffmpeg },
                                   scratch.directory);
    ASSERT_EQ (batch.status, 0) << batch.err;

    std::vector<std::string> listings;

    for (const auto& line : splitLines (batch.err))
        if (line.find ("open descriptors:") != std::string::npos)
            listings.push_back (line);

    EXPECT_EQ (listings, std::vector<std::string> (numTakes, "[SubprocessRunner] Output: open descriptors: 0 1 2"));
}

TEST (ParallelBatch, JobsNamingOneOutputLeaveOneWholeResult)
{
    const ScratchDirectory scratch;
    constexpr int numTakes = 8;

    for (int i = 0; i < numTakes; ++i)
        writeTake (scratch / ("in/take" + std::to_string (i) + ".wav"), i + 1);

    const auto references = runProgram ({ "--input-dir", "in", "--output-dir", "each", "--denoise", "false" }, scratch.directory);
    ASSERT_EQ (references.out, summaryLine (numTakes, 0)) << references.err;

    const auto shared = scratch / "shared.wav";

    for (int round = 0; round < 3; ++round)
    {
        const auto run = runProgram ({ "--input-dir", "in", "--output", "shared.wav", "--denoise", "false" }, scratch.directory);
        ASSERT_EQ (run.out, summaryLine (numTakes, 0)) << run.err;

        const auto whole = (scratch / "each").findChildFiles (juce::File::findFiles, false, "take*.wav");
        ASSERT_EQ (whole.size(), numTakes);

        EXPECT_TRUE (std::any_of (whole.begin(), whole.end(), [&] (const juce::File& f) { return shared.hasIdenticalContentTo (f); }))
            << "the shared output is no single job's result";
    }
}

//==============================================================================
namespace
{
    const std::string summaryNotWrittenLine = "[System] ERROR: Failed to write the summary line to standard output\n";

    bool endsWith (const std::string& text, const std::string& end)
    {
        return text.size() >= end.size() && text.compare (text.size() - end.size(), end.size(), end) == 0;
    }
}

TEST (Summary, ThatCannotBeWrittenIsReportedAndEndsWithStatus3)
{
    if (! juce::File ("/dev/full").exists())
        GTEST_SKIP() << "this system has no /dev/full (macOS has none) to stand for a full disk";

    struct Case { const char* name; std::vector<Fixture> fixtures; std::vector<std::string> args; int status; };

    const Case cases[] = {
        { "every file succeeded", { { "in/a.wav", Entry::take } },    { "--input", "in/a.wav", "--output", "out/a.wav" }, 3 },
        { "a file failed",        {},                                 { "--input", "nothere.wav", "--output", "out/o.wav" }, 3 },
        { "no files: no summary", { { "in", Entry::directory } },     { "--input-dir", "in", "--output-dir", "out" }, 0 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const ScratchDirectory scratch;
        makeFixtures (scratch, c.fixtures);

        auto args = c.args;
        args.insert (args.end(), { "--denoise", "false" });
        const auto run = runProgram (args, scratch.directory, "/dev/full");

        EXPECT_EQ (run.status, c.status);
        EXPECT_EQ (endsWith (run.err, summaryNotWrittenLine), c.status == 3) << run.err;
    }
}

//==============================================================================
namespace
{
    /** A 16-bit PCM WAV file of any channel count, written byte by byte: JUCE's writer cannot
        make the files with too many channels that these tests need. The byte-rate and
        block-align fields keep what fits in them, as they do in a file whose count overflows them.
    */
    void writeWavOfChannels (const juce::File& file, int numChannels, int numFrames)
    {
        constexpr int sampleRate = 48000;
        const auto bytesPerFrame = (juce::int64) numChannels * 2;
        const auto dataBytes = bytesPerFrame * numFrames;

        juce::MemoryOutputStream wav;
        wav.write ("RIFF", 4);  wav.writeInt ((int) (36 + dataBytes));  wav.write ("WAVE", 4);
        wav.write ("fmt ", 4);  wav.writeInt (16);
        wav.writeShort (1);
        wav.writeShort ((short) numChannels);
        wav.writeInt (sampleRate);
        wav.writeInt ((int) (juce::uint32) (sampleRate * bytesPerFrame));
        wav.writeShort ((short) bytesPerFrame);
        wav.writeShort (16);
        wav.write ("data", 4);  wav.writeInt ((int) dataBytes);

        juce::Random random (numChannels);

        for (juce::int64 i = 0; i < numFrames * (juce::int64) numChannels; ++i)
            wav.writeShort ((short) random.nextInt ({ -8000, 8000 }));

        file.getParentDirectory().createDirectory();
        ASSERT_TRUE (file.replaceWithData (wav.getData(), wav.getDataSize())) << file.getFullPathName();
    }

    std::string tooManyChannels (int numChannels, const juce::File& file)
    {
        return "Too many channels to process (" + std::to_string (numChannels) + " channels, at most 128): "
             + file.getFullPathName().toStdString();
    }

    const std::vector<std::vector<std::string>> bothRoads { {}, { "--compressor", "false", "--eq", "false" } };
}

// From 129 channels on JUCE's WAV writer reads channel types outside their range, and past
// 256 it overruns its table of channel pointers: such a file must fail before it is written,
// alone, on both roads. 128 channels are written soundly.
TEST (ManyChannels, ARecordingOverTheLimitFailsAloneAndTheBatchGoesOn)
{
    const ScratchDirectory scratch;
    writeTake (scratch / "in/good1.wav", 1);
    writeTake (scratch / "in/good2.wav", 2, 44100.0, 2);
    writeWavOfChannels (scratch / "in/c128.wav", 128, 4800);
    writeWavOfChannels (scratch / "in/c129.wav", 129, 4800);
    writeWavOfChannels (scratch / "in/c65535.wav", 65535, 2);   // its byte rate and block align overflow

    for (size_t road = 0; road < bothRoads.size(); ++road)
    {
        SCOPED_TRACE (road == 0 ? "stage road" : "copy road");
        const auto batchDir = "batch" + std::to_string (road);

        auto args = std::vector<std::string> { "--input-dir", "in", "--output-dir", batchDir, "--denoise", "false" };
        args.insert (args.end(), bothRoads[road].begin(), bothRoads[road].end());
        const auto batch = runProgram (args, scratch.directory);

        EXPECT_EQ (batch.status, 2);
        EXPECT_EQ (batch.out, summaryLine (3, 2));
        EXPECT_EQ (failureLinesOf (batch.err), (std::vector<std::string> {
                       failureLine ("c129.wav", tooManyChannels (129, scratch / "in/c129.wav")),
                       failureLine ("c65535.wav", tooManyChannels (65535, scratch / "in/c65535.wav")) })) << batch.err;
        EXPECT_FALSE ((scratch / (batchDir + "/c129.wav")).exists());
        EXPECT_FALSE ((scratch / (batchDir + "/c65535.wav")).exists());

        for (const std::string name : { "good1.wav", "good2.wav", "c128.wav" })
        {
            auto alone = std::vector<std::string> { "--input", "in/" + name, "--output", "alone" + std::to_string (road) + "/" + name,
                                                    "--denoise", "false" };
            alone.insert (alone.end(), bothRoads[road].begin(), bothRoads[road].end());
            ASSERT_EQ (runProgram (alone, scratch.directory).status, 0) << name;

            EXPECT_TRUE ((scratch / (batchDir + "/" + name)).hasIdenticalContentTo (scratch / ("alone" + std::to_string (road) + "/" + name)))
                << name;
        }

        const auto mastered = testing_support::readWav (scratch / (batchDir + "/c128.wav"));
        EXPECT_EQ (mastered.buffer.getNumChannels(), 128);
        EXPECT_EQ (mastered.buffer.getNumSamples(), 4800);
    }
}

TEST (ManyChannels, ASingleInputOverTheLimitIsRefusedBeforeItIsMeasured)
{
    const ScratchDirectory scratch;

    for (const int numChannels : { 129, 300, 1024, 65535 })
    {
        const auto name = "c" + std::to_string (numChannels) + ".wav";
        writeWavOfChannels (scratch / ("in/" + name), numChannels, numChannels > 1024 ? 2 : 100);

        for (size_t road = 0; road < bothRoads.size(); ++road)
        {
            SCOPED_TRACE (name + (road == 0 ? ", stage road" : ", copy road"));
            const auto outDir = scratch / ("out" + std::to_string (road));

            auto args = std::vector<std::string> { "--input", "in/" + name, "--output", outDir.getChildFile (name).getFullPathName().toStdString() };
            args.insert (args.end(), bothRoads[road].begin(), bothRoads[road].end());
            const auto run = runProgram (args, scratch.directory);

            EXPECT_EQ (run.status, 2);
            EXPECT_EQ (failureLinesOf (run.err), std::vector<std::string> { failureLine (name, tooManyChannels (numChannels, scratch / ("in/" + name))) });
            EXPECT_EQ (run.err.find ("[AudioAnalyzer]"), std::string::npos) << "measured before it was refused";
            EXPECT_TRUE (testing_support::listTree (outDir).isEmpty()) << "something was written for it";
        }
    }
}

//==============================================================================
namespace
{
    const std::vector<std::string> standIn { "--deepfilter-path", VOXMENDER_STANDIN };

    /** Masters each take in a run of its own, into a directory of its own, so that no take's
        side files can land on another's master.
    */
    void masterEachAlone (const ScratchDirectory& scratch, const std::vector<std::string>& names,
                          const std::string& from, const std::vector<std::string>& options)
    {
        for (const auto& name : names)
        {
            auto args = std::vector<std::string> { "--input", from + "/" + name, "--output", "alone/" + name + "/" + name };
            args.insert (args.end(), options.begin(), options.end());
            const auto run = runProgram (args, scratch.directory);
            ASSERT_EQ (run.status, 0) << name << "\n" << run.err;
        }
    }
}

// With the output directory the input directory, a job's side files and the removal of an
// earlier run's denoised file could reach a take before its own job had read it: the take
// was lost and its "master" made from another take's audio.
TEST (InPlaceBatch, EveryOutputIsTheMasterOfItsOwnInput)
{
    const ScratchDirectory scratch;
    std::vector<std::string> names { "_stage0_prefiltered.wav", "_stage1_denoised.wav" };

    for (int pair = 0; pair < 6; ++pair)
    {
        names.push_back ("p" + std::to_string (pair) + ".wav");
        names.push_back ("p" + std::to_string (pair) + "_asr_feed.wav");   // a feed of an earlier run, now a take
    }

    for (size_t i = 0; i < names.size(); ++i)
        writeTake (scratch / ("takes/" + names[i]), (int) i + 1);

    // Old enough to pass for a denoised file an earlier run left.
    (scratch / "takes/_stage1_denoised.wav").setLastModificationTime (juce::Time::getCurrentTime() - juce::RelativeTime::hours (1));

    masterEachAlone (scratch, names, "takes", standIn);

    auto args = std::vector<std::string> { "--input-dir", "takes", "--output-dir", "takes" };
    args.insert (args.end(), standIn.begin(), standIn.end());
    const auto run = runProgram (args, scratch.directory);

    EXPECT_EQ (run.status, 0) << run.err;
    EXPECT_EQ (run.out, summaryLine ((int) names.size(), 0));

    for (const auto& name : names)
        EXPECT_TRUE ((scratch / ("takes/" + name)).hasIdenticalContentTo (scratch / ("alone/" + name + "/" + name))) << name;
}

// Every job writing one output that is itself a take: only that take's own job may replace it.
TEST (InPlaceBatch, AnOutputThatIsAnotherInputFailsAndLeavesThatInputAlone)
{
    const ScratchDirectory scratch;
    const std::vector<std::string> names { "a.wav", "b.wav", "c.wav" };

    for (size_t i = 0; i < names.size(); ++i)
        writeTake (scratch / ("takes/" + names[i]), (int) i + 1);

    const auto before = testing_support::contentsOf (scratch / "takes/b.wav");
    masterEachAlone (scratch, { "a.wav" }, "takes", { "--denoise", "false" });

    const auto run = runProgram ({ "--input-dir", "takes", "--output", "takes/a.wav", "--denoise", "false" }, scratch.directory);

    const auto reason = "Output would replace another input of the run: " + (scratch / "takes/a.wav").getFullPathName().toStdString();
    EXPECT_EQ (run.status, 2);
    EXPECT_EQ (run.out, summaryLine (1, 2));
    EXPECT_EQ (failureLinesOf (run.err), (std::vector<std::string> { failureLine ("b.wav", reason), failureLine ("c.wav", reason) }));
    EXPECT_TRUE ((scratch / "takes/a.wav").hasIdenticalContentTo (scratch / "alone/a.wav/a.wav"));
    EXPECT_EQ (testing_support::contentsOf (scratch / "takes/b.wav"), before);
}

//==============================================================================
TEST (LoudnessTarget, OneNoMeterCouldMeasureEndsTheRunBeforeAnyFileIsTouched)
{
    const ScratchDirectory scratch;
    makeFixtures (scratch, { { "in/a.wav", Entry::take } });

    const auto run = runProgram ({ "--input", "in/a.wav", "--output", "out/a.wav", "--target-lufs", "-180" },
                                 scratch.directory);

    EXPECT_EQ (run.status, 1);
    EXPECT_EQ (run.out, "");
    EXPECT_EQ (run.err, errorLines ("--target-lufs must be between -70 and 0 LUFS: -180"));
    EXPECT_FALSE ((scratch / "out").exists()) << "the output's directory was made";
}
