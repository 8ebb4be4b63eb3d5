// The command line and the batch runner are tested through the built program:
// its two streams, its exit status and the files it leaves.

#include <gtest/gtest.h>

#include "Main.h"
#include "TestFiles.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

    /** Runs the program with the given arguments, reading both streams to the end.
        Relative paths in the arguments are taken from workingDirectory when one is given.
    */
    ProgramRun runProgram (const std::vector<std::string>& args, const juce::File& workingDirectory = {})
    {
        const auto directory = workingDirectory.getFullPathName().toStdString();

        int outPipe[2], errPipe[2];
        if (pipe (outPipe) != 0 || pipe (errPipe) != 0)
            return {};

        const pid_t pid = fork();
        if (pid == 0)
        {
            dup2 (outPipe[1], STDOUT_FILENO);
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

        while (open > 0)
        {
            if (poll (fds, 2, -1) < 0)
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

    /** The file names of the "[Error] Failed processing " lines, sorted: the order of
        parallel jobs is not fixed.
    */
    std::vector<std::string> namesOfFailedFiles (const std::string& log)
    {
        const std::string prefix = "[Error] Failed processing ";
        std::vector<std::string> names;

        for (const auto& line : splitLines (log))
            if (line.rfind (prefix, 0) == 0)
                names.push_back (line.substr (prefix.size(), line.find (": ", prefix.size()) - prefix.size()));

        std::sort (names.begin(), names.end());
        return names;
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

    enum class Entry { take, notAudio, directory };

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
        std::vector<std::string> present;   // paths that exist after the run
        std::vector<std::string> absent;    // paths that do not
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
    };

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

    for (const auto& path : c.present)
        EXPECT_TRUE ((scratch / path).exists()) << path;

    for (const auto& path : c.absent)
        EXPECT_FALSE ((scratch / path).exists()) << path;
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
