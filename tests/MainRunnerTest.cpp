// The batch runner's pieces in-process: the worker-count rule as a table, the
// processor brand from a cpuinfo listing, the standard-error logger against
// JUCE's own output, and the job path with a processing function that fails or
// throws. The program as a whole is tested through the built binary in MainTest.

#include <gtest/gtest.h>

#include "Main.h"
#include "TestSupport.h"

#include <unistd.h>

#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using testing_support::CapturingLogger;

namespace
{
    //==============================================================================
    struct WorkerCase
    {
        unsigned int hardwareThreads;
        const char* brand;
        int workerCount;
        std::string topologyLine;
    };

    const std::string tier2Line = "[System] Topology: Intel Core i5 detected. Constraining worker threads (Tier 2).";

    std::string tier1Line (const std::string& brand)  { return "[System] Topology: " + brand + " detected. Scaling up worker threads (Tier 1)."; }
    std::string safeLine (const std::string& brand)   { return "[System] Topology: " + brand + ". Using safe thread allocation."; }

    const std::vector<WorkerCase> workerCases =
    {
        { 8,  "Intel(R) Core(TM) i5-8250U CPU @ 1.60GHz", 4,  tier2Line },
        { 8,  "Apple M1",                                 7,  tier1Line ("Apple M1") },
        { 16, "Intel(R) Core(TM) i7-10700K CPU",          15, tier1Line ("Intel(R) Core(TM) i7-10700K CPU") },
        { 32, "13th Gen Intel(R) Core(TM) i9-13900K",     31, tier1Line ("13th Gen Intel(R) Core(TM) i9-13900K") },
        { 10, "APPLE M2 PRO",                             9,  tier1Line ("APPLE M2 PRO") },
        { 20, "AMD EPYC 7763 64-Core Processor",          10, safeLine ("AMD EPYC 7763 64-Core Processor") },
        { 9,  "AMD Ryzen 7 5800X",                        4,  safeLine ("AMD Ryzen 7 5800X") },
        { 1,  "Core i5",                                  1,  tier2Line },
        { 1,  "Apple M1",                                 1,  tier1Line ("Apple M1") },
        { 1,  "Other",                                    1,  safeLine ("Other") },
        { 2,  "Core i5",                                  1,  tier2Line },
        { 2,  "Apple M1",                                 1,  tier1Line ("Apple M1") },
        { 2,  "Other",                                    1,  safeLine ("Other") },
        { 8,  "Apple i5 hybrid",                          4,  tier2Line },
        { 8,  "Unknown",                                  4,  safeLine ("Unknown") },
        { 0,  "Unknown",                                  2,  safeLine ("Unknown") },
        { 0,  "Apple M1",                                 3,  tier1Line ("Apple M1") },
    };
}

TEST (WorkerCountRule, FollowsTheTiers)
{
    for (const auto& c : workerCases)
    {
        SCOPED_TRACE (std::to_string (c.hardwareThreads) + " threads, " + c.brand);

        const auto plan = chooseWorkerCount (c.hardwareThreads, c.brand);
        EXPECT_EQ (plan.workerCount, c.workerCount);
        EXPECT_EQ (plan.topologyLine.toStdString(), c.topologyLine);
    }
}

TEST (ProcessorBrand, IsTheFirstModelNameOfCpuInfo)
{
    const struct { const char* cpuInfo; const char* brand; } cases[] =
    {
        { "processor\t: 0\nvendor_id\t: AuthenticAMD\nmodel name\t: AMD EPYC 7763 64-Core Processor\n"
          "processor\t: 1\nmodel name\t: AMD EPYC 7763 64-Core Processor\n",       "AMD EPYC 7763 64-Core Processor" },
        { "model name : first\nmodel name : second\n",                              "first" },
        { "model name\t: Vendor: Model 9 \t\n",                                     "Vendor: Model 9" },
        { "model\t\t: 85\nmodel name\t:\n",                                         "Unknown" },
        { "processor\t: 0\nBogoMIPS\t: 50.00\nCPU implementer\t: 0x41\n",           "Unknown" },
        { "",                                                                       "Unknown" },
    };

    for (const auto& c : cases)
        EXPECT_EQ (findModelName (c.cpuInfo), juce::String (c.brand)) << c.cpuInfo;
}

//==============================================================================
namespace
{
    /** Points standard error at a pipe for its lifetime and collects what arrives. */
    class StandardErrorCapture
    {
    public:
        StandardErrorCapture()
        {
            std::fflush (stderr);
            savedDescriptor = dup (STDERR_FILENO);

            int fds[2] = { -1, -1 };
            if (savedDescriptor < 0 || pipe (fds) != 0)
                return;

            readEnd = fds[0];
            dup2 (fds[1], STDERR_FILENO);
            close (fds[1]);

            reader = std::thread ([this]
            {
                char buffer[65536];

                for (;;)
                {
                    const auto n = read (readEnd, buffer, sizeof (buffer));
                    if (n <= 0)
                        break;

                    captured.append (buffer, (size_t) n);
                }
            });
        }

        ~StandardErrorCapture()   { finish(); }

        /** Restores standard error and returns everything written to it meanwhile. */
        std::string finish()
        {
            if (savedDescriptor >= 0)
            {
                std::fflush (stderr);
                dup2 (savedDescriptor, STDERR_FILENO);   // closes the pipe's last write end
                close (savedDescriptor);
                savedDescriptor = -1;
            }

            if (reader.joinable())
                reader.join();

            if (readEnd >= 0)
            {
                close (readEnd);
                readEnd = -1;
            }

            return captured;
        }

    private:
        int savedDescriptor = -1, readEnd = -1;
        std::thread reader;
        std::string captured;
    };

    std::string logWithJuceDefault (const juce::String& message)
    {
        juce::Logger::setCurrentLogger (nullptr);
        StandardErrorCapture capture;
        juce::Logger::writeToLog (message);
        return capture.finish();
    }

    std::string logWithOwnLogger (const juce::String& message)
    {
        StandardErrorLogger logger;
        StandardErrorCapture capture;
        juce::Logger::writeToLog (message);
        return capture.finish();
    }

    /** A line that names its writer and number. Every fourth one is far longer than a
        pipe takes in one piece, so only a writer that keeps its message whole passes.
    */
    std::string makeNumberedLine (int writer, int index)
    {
        const size_t length = index % 4 == 0 ? 100000 : (size_t) (40 + index);
        auto line = "[Writer " + std::to_string (writer) + "] " + std::to_string (index) + " ";
        line.append (length, (char) ('a' + (writer + index) % 26));
        return line;
    }
}

TEST (StandardErrorLogger, WritesWhatJucesDefaultWrites)
{
    const juce::String messages[] =
    {
        "[System] Initializing ThreadPool with 4 workers.",
        juce::String::fromUTF8 ("\xe2\x95\x90\xe2\x95\x90 caf\xc3\xa9 \xe2\x80\x94 \xe9\x9f\xb3 \xf0\x9f\x8e\x99"),
        "[AudioAnalyzer] report\n  line two\n  line three",
        "",
    };

    for (const auto& message : messages)
    {
        const auto expected = message.toStdString() + "\n";
        EXPECT_EQ (logWithJuceDefault (message), expected);
        EXPECT_EQ (logWithOwnLogger (message), expected);
    }

    EXPECT_EQ (juce::Logger::getCurrentLogger(), nullptr);
}

TEST (StandardErrorLogger, KeepsLinesOfParallelWritersWhole)
{
    constexpr int numWriters = 8, linesPerWriter = 40;
    std::map<std::string, int> expected;

    for (int w = 0; w < numWriters; ++w)
        for (int i = 0; i < linesPerWriter; ++i)
            ++expected[makeNumberedLine (w, i)];

    std::string captured;
    {
        StandardErrorLogger logger;
        StandardErrorCapture capture;
        std::vector<std::thread> writers;

        for (int w = 0; w < numWriters; ++w)
            writers.emplace_back ([w]
            {
                for (int i = 0; i < linesPerWriter; ++i)
                    juce::Logger::writeToLog (makeNumberedLine (w, i));
            });

        for (auto& t : writers)
            t.join();

        captured = capture.finish();
    }

    std::map<std::string, int> seen;
    size_t start = 0;

    for (auto end = captured.find ('\n'); end != std::string::npos; start = end + 1, end = captured.find ('\n', start))
        ++seen[captured.substr (start, end - start)];

    EXPECT_EQ (start, captured.size()) << "the last line has no newline";
    EXPECT_TRUE (seen == expected) << "lines were split or ran together";
}

//==============================================================================
namespace
{
    AudioPipeline::Result succeed()
    {
        AudioPipeline::Result result;
        result.success = true;
        return result;
    }

    juce::Array<juce::File> makeInputList (const juce::StringArray& names)
    {
        juce::Array<juce::File> files;
        for (const auto& name : names)
            files.add (juce::File ("/takes").getChildFile (name));
        return files;
    }
}

TEST (BatchJobs, ThrowingOrFailingProcessingCountsAsFailedAndTheRunEnds)
{
    CapturingLogger log;
    CLIArgs args;
    args.outputDir = juce::File ("/mastered");

    const ProcessFunction process = [] (const juce::File& input, const juce::File&,
                                                     const AudioPipeline::Config&) -> AudioPipeline::Result
    {
        const auto name = input.getFileNameWithoutExtension();

        if (name == "oom")      throw std::bad_alloc();
        if (name == "boom")     throw std::runtime_error ("disk on fire");
        if (name == "odd")      throw 42;

        if (name == "refused")
        {
            AudioPipeline::Result result;
            result.errorMessage = "Could not read input";
            return result;
        }

        return succeed();
    };

    const auto counts = runFileJobs (makeInputList ({ "ok.wav", "oom.wav", "boom.wav", "odd.wav", "refused.wav", "fine.wav" }),
                                     args, {}, 2, process);

    EXPECT_EQ (counts.successCount, 2);
    EXPECT_EQ (counts.failedCount, 4);

    auto messages = log.getMessages();
    messages.sort (false);
    EXPECT_EQ (messages, juce::StringArray ({ "[Error] Failed processing boom.wav: disk on fire",
                                              "[Error] Failed processing odd.wav: Unknown exception",
                                              "[Error] Failed processing oom.wav: Out of memory",
                                              "[Error] Failed processing refused.wav: Could not read input" }));
}

TEST (BatchJobs, EveryFileIsProcessedOnceWithItsOutputAndTheRunsSettings)
{
    CapturingLogger log;
    constexpr int numFiles = 40;

    juce::StringArray names;
    for (int i = 0; i < numFiles; ++i)
        names.add ("take" + juce::String (i) + (i % 2 == 0 ? ".wav" : ".WAV"));

    AudioPipeline::Config config;
    config.targetLUFS = -23.0f;
    config.voiceType = "Female";

    const struct { juce::File outputDir, outputFile; } namings[] =
    {
        { juce::File ("/mastered"), juce::File ("/ignored/one.wav") },
        { juce::File(),             juce::File ("/mastered/one.wav") },
    };

    for (const auto& naming : namings)
    {
        CLIArgs args;
        args.outputDir = naming.outputDir;
        args.outputFile = naming.outputFile;

        std::mutex mutex;
        std::map<juce::String, juce::File> outputs;
        bool settingsArrived = true;

        const auto counts = runFileJobs (makeInputList (names), args, config, 3,
            [&] (const juce::File& input, const juce::File& output, const AudioPipeline::Config& jobConfig)
            {
                const std::lock_guard<std::mutex> lock (mutex);
                EXPECT_EQ (outputs.count (input.getFileName()), 0u) << "processed twice";
                outputs[input.getFileName()] = output;
                settingsArrived = settingsArrived && jobConfig.targetLUFS == -23.0f && jobConfig.voiceType == "Female";
                return succeed();
            });

        EXPECT_EQ (counts.successCount, numFiles);
        EXPECT_EQ (counts.failedCount, 0);
        EXPECT_TRUE (settingsArrived);
        ASSERT_EQ (outputs.size(), (size_t) numFiles);

        for (const auto& [name, output] : outputs)
            EXPECT_EQ (output, naming.outputDir != juce::File() ? naming.outputDir.getChildFile (name) : naming.outputFile);
    }

    EXPECT_TRUE (log.getMessages().isEmpty());
}

namespace
{
    /** A logger that runs out of memory on every failure line, as a job may when memory is
        short: those lines must still arrive, on standard error.
    */
    class OutOfMemoryForFailureLines : public juce::Logger
    {
    public:
        OutOfMemoryForFailureLines()            { juce::Logger::setCurrentLogger (this); }
        ~OutOfMemoryForFailureLines() override  { juce::Logger::setCurrentLogger (nullptr); }

    protected:
        void logMessage (const juce::String& message) override
        {
            if (message.startsWith ("[Error] "))
                throw std::bad_alloc();
        }
    };
}

TEST (BatchJobs, EveryFailedFileGetsItsLineWhenMemoryHasRunOut)
{
    CLIArgs args;
    args.outputDir = juce::File ("/mastered");

    const ProcessFunction process = [] (const juce::File& input, const juce::File&,
                                        const AudioPipeline::Config&) -> AudioPipeline::Result
    {
        const auto name = input.getFileNameWithoutExtension();

        if (name == "oom")
            throw std::bad_alloc();

        if (name == "refused")
        {
            AudioPipeline::Result result;
            result.errorMessage = juce::String::fromUTF8 ("Could not read input \xe2\x80\x94 caf\xc3\xa9");
            return result;
        }

        return succeed();
    };

    BatchCounts counts;
    std::string captured;

    {
        OutOfMemoryForFailureLines logger;
        StandardErrorCapture capture;
        counts = runFileJobs (makeInputList ({ "ok.wav", "oom.wav", "refused.wav" }), args, {}, 2, process);
        captured = capture.finish();
    }

    EXPECT_EQ (counts.successCount, 1);
    EXPECT_EQ (counts.failedCount, 2);

    auto lines = juce::StringArray::fromLines (juce::String::fromUTF8 (captured.c_str()));
    lines.removeEmptyStrings();
    lines.sort (false);
    const juce::StringArray expected { "[Error] Failed processing oom.wav: Out of memory",
                                       juce::String::fromUTF8 ("[Error] Failed processing refused.wav: Could not read input \xe2\x80\x94 caf\xc3\xa9") };
    EXPECT_EQ (lines, expected);
}
