// The command line is tested through the built program, comparing its two
// streams and its exit status exactly.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace
{
    struct ProgramRun
    {
        std::string out;
        std::string err;
        int status = -1;
    };

    /** Runs the program with the given arguments, reading both streams to the end. */
    ProgramRun runProgram (const std::vector<std::string>& args)
    {
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

    // Until the batch runner exists a valid command line ends quietly with 0.
    const std::vector<CliCase> cliCases =
    {
        { "NoArguments",             {},                                                    "", incomplete, 1 },
        { "HelpAlone",               { "--help" },                                          usageText, "", 0 },
        { "ShortHelpAlone",          { "-h" },                                              usageText, "", 0 },
        { "HelpAfterValidOptions",   { "--input", "a.wav", "--output", "b.wav", "-h" },     usageText, "", 0 },
        { "HelpAfterPartialOptions", { "--input", "a.wav", "--help" },                      usageText, "", 0 },
        { "HelpAsAValue",            { "--voice-type", "--help", "--input", "a", "--output", "b" }, "", "", 0 },
        { "HelpAsAValueIncomplete",  { "--voice-type", "--help" },                          "", incomplete, 1 },
        { "SingleFile",              { "--input", "/tmp/in.wav", "--output", "/tmp/out.wav" }, "", "", 0 },
        { "Batch",                   { "--input-dir", "in", "--output-dir", "out" },        "", "", 0 },
        { "FileIntoDirectory",       { "--input", "a.wav", "--output-dir", "out" },         "", "", 0 },
        { "DirectoryIntoFile",       { "--input-dir", "in", "--output", "b.wav" },          "", "", 0 },
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
        { "RepeatedOptionFilled",    { "--input", "", "--output", "b.wav", "--input", "a.wav" }, "", "", 0 },
        { "BooleanSpellings",        { "--denoise", "TRUE", "--compressor", "yes", "--eq", "0", "--input", "a", "--output", "b" }, "", "", 0 },
        { "NumbersThatDoNotRead",    { "--target-lufs", "-16,5", "--bypass-stage", "3x", "--input", "a", "--output", "b" }, "", "", 0 },
        { "NonAsciiName",            { "--v\xc3\xb6ice", "x" },                             "", errorLines ("Unknown argument: --v\xc3\xb6ice"), 1 },
        { "NonAsciiMissingValue",    { "--input", "a", "\xe9\x9f\xb3\xf0\x9f\x8e\x99" },    "", errorLines ("Missing value for argument: \xe9\x9f\xb3\xf0\x9f\x8e\x99"), 1 },
        { "NonAsciiPaths",           { "--input", "/tmp/caf\xc3\xa9/\xe9\x9f\xb3.wav", "--output", "/tmp/\xf0\x9f\x8e\x99/out.wav" }, "", "", 0 },
    };

    void PrintTo (const CliCase& c, std::ostream* os) { *os << c.name; }

    class CommandLine : public ::testing::TestWithParam<CliCase> {};
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

TEST (CommandLineUsage, IsTheDocumentedTwentyThreeLines)
{
    const auto run = runProgram ({ "--help" });

    ASSERT_EQ (run.status, 0);
    // 828 bytes of text, then the newline of std::endl.
    EXPECT_EQ (run.out.size(), 829u);
    EXPECT_EQ (std::count (run.out.begin(), run.out.end(), '\n'), 24);
    EXPECT_EQ (run.out, usageText);
}
