#include "Main.h"

#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#if defined (__APPLE__)
 #include <sys/types.h>
 #include <sys/sysctl.h>
#endif


//==============================================================================
juce::StringArray collectArguments (int argc, char* argv[])
{
    juce::StringArray args;

    for (int i = 0; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    return args;
}

namespace
{
    bool parseBool (const juce::String& value)
    {
        return value == "true" || value == "1";
    }

    /** A path from the command line: an absolute path or one that starts with "~" as it
        stands, any other from the current directory. juce::File's own constructor takes
        absolute paths only (a debug build asserts on the rest), so relative ones are made
        through getChildFile. An empty value stays an empty file: the option is not given.
    */
    juce::File makeFileFromArgument (const juce::String& value)
    {
        if (value.isEmpty())
            return {};

        return juce::File::getCurrentWorkingDirectory().getChildFile (value);
    }

    /** Stores one option's value; false when the word names no option. */
    bool applyOption (CLIArgs& parsed, const juce::String& name, const juce::String& value)
    {
        if      (name == "--input")           parsed.inputFile      = makeFileFromArgument (value);
        else if (name == "--output")          parsed.outputFile     = makeFileFromArgument (value);
        else if (name == "--input-dir")       parsed.inputDir       = makeFileFromArgument (value);
        else if (name == "--output-dir")      parsed.outputDir      = makeFileFromArgument (value);
        else if (name == "--denoise")         parsed.denoise        = parseBool (value);
        else if (name == "--compressor")      parsed.compressor     = parseBool (value);
        else if (name == "--eq")              parsed.eq             = parseBool (value);
        else if (name == "--voice-type")      parsed.voiceType      = value;
        else if (name == "--deepfilter-path") parsed.deepFilterPath = value;
        else if (name == "--ffmpeg-path")     parsed.ffmpegPath     = value;
        else if (name == "--target-lufs")     parsed.targetLUFS     = value.getFloatValue();
        else if (name == "--bypass-stage")    parsed.bypassStage    = value.getIntValue();
        else                                  return false;

        return true;
    }

    bool isGiven (const juce::File& f)
    {
        return f != juce::File();
    }

    /** A loudness a meter can measure: from its absolute gate up to full scale. The pre-gain,
        the normalisation and the expander's threshold all follow the target, so one outside
        this range (or not a number at all) turns the audio into silence.
    */
    bool isMeasurableLoudness (float lufs)
    {
        constexpr float absoluteGateLUFS = -70.0f;
        constexpr float fullScaleLUFS = 0.0f;

        // Written so that NaN fails both comparisons and is refused.
        return lufs >= absoluteGateLUFS && lufs <= fullScaleLUFS;
    }
}

CLIArgs parseArguments (const juce::StringArray& args)
{
    CLIArgs parsed;

    // Options come in name/value pairs; a value is never examined for looking
    // like an option, so "--help" is only recognised at a name position.
    for (int j = 1; j < args.size(); j += 2)
    {
        const auto& word = args[j];

        if (word == "--help" || word == "-h")
        {
            parsed.showHelp = true;
            parsed.valid = true;
            return parsed;
        }

        if (j + 1 >= args.size())
        {
            parsed.errorMessage = "Missing value for argument: " + word;
            return parsed;
        }

        if (! applyOption (parsed, word, args[j + 1]))
        {
            parsed.errorMessage = "Unknown argument: " + word;
            return parsed;
        }

        if (word == "--target-lufs" && ! isMeasurableLoudness (parsed.targetLUFS))
        {
            parsed.errorMessage = "--target-lufs must be between -70 and 0 LUFS: " + args[j + 1];
            return parsed;
        }
    }

    const bool hasInput  = isGiven (parsed.inputFile)  || isGiven (parsed.inputDir);
    const bool hasOutput = isGiven (parsed.outputFile) || isGiven (parsed.outputDir);

    if (hasInput && hasOutput)
        parsed.valid = true;
    else
        parsed.errorMessage = "Must specify either --input/--output or --input-dir/--output-dir.";

    return parsed;
}

AudioPipeline::Config makePipelineConfig (const CLIArgs& args)
{
    AudioPipeline::Config config;
    config.denoise        = args.denoise;
    config.compressor     = args.compressor;
    config.eq             = args.eq;
    config.voiceType      = args.voiceType;
    config.deepFilterPath = args.deepFilterPath;
    config.ffmpegPath     = args.ffmpegPath;
    config.targetLUFS     = args.targetLUFS;
    config.bypassStage    = args.bypassStage;
    return config;
}

const char* getUsageText()
{
    return "\n"
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
           "  --help, -h               Show this help message\n";
}

//==============================================================================
namespace
{
    /** Every line that reaches standard error goes through here. One write is enough on its
        own only up to the pipe's atomic size; the lock keeps longer messages (an analysis
        report, an outside program's output) whole as well.
    */
    std::mutex standardErrorMutex;

    /** Writes the pieces as one line, in one call when the stream takes it all, going on
        after partial writes and interrupted calls. Allocates nothing, so that a line can
        still be written when memory has run out. When standard error is gone there is
        nobody left to tell, so the rest is dropped.
    */
    template <size_t numPieces>
    void writeLineToStandardError (const std::string_view (&pieces)[numPieces]) noexcept
    {
        iovec vectors[numPieces + 1];

        for (size_t i = 0; i < numPieces; ++i)
            vectors[i] = { const_cast<char*> (pieces[i].data()), pieces[i].size() };

        vectors[numPieces] = { const_cast<char*> ("\n"), 1 };

        const std::lock_guard<std::mutex> lock (standardErrorMutex);
        auto* next = vectors;
        auto remaining = (int) numPieces + 1;

        while (remaining > 0)
        {
            auto written = ::writev (STDERR_FILENO, next, remaining);

            if (written < 0)
            {
                if (errno == EINTR)
                    continue;

                return;
            }

            for (; remaining > 0 && (size_t) written >= next->iov_len; ++next, --remaining)
                written -= (ssize_t) next->iov_len;

            if (remaining > 0)
            {
                next->iov_base = static_cast<char*> (next->iov_base) + written;
                next->iov_len -= (size_t) written;
            }
        }
    }

    std::string_view utf8Of (const juce::String& text) noexcept
    {
        return { text.toRawUTF8(), text.getNumBytesAsUTF8() };
    }
}

StandardErrorLogger::StandardErrorLogger()
{
    juce::Logger::setCurrentLogger (this);
}

StandardErrorLogger::~StandardErrorLogger()
{
    if (juce::Logger::getCurrentLogger() == this)
        juce::Logger::setCurrentLogger (nullptr);
}

void StandardErrorLogger::logMessage (const juce::String& message)
{
    const std::string_view pieces[] { utf8Of (message) };
    writeLineToStandardError (pieces);
}

//==============================================================================
namespace
{
    const juce::String unknownBrand { "Unknown" };

    /** What std::thread::hardware_concurrency reports when it cannot tell; a guess
        small enough not to swamp a small machine.
    */
    constexpr int fallbackHardwareThreads = 4;

    juce::String makeTopologyLine (const juce::String& text)
    {
        return "[System] Topology: " + text;
    }

    int halfTheThreads (int hardwareThreads)        { return juce::jmax (hardwareThreads / 2, 1); }
    int allThreadsButOne (int hardwareThreads)      { return juce::jmax (hardwareThreads, 2) - 1; }

    bool scalesWithEveryThread (const juce::String& cpuBrand)
    {
        return cpuBrand.containsIgnoreCase ("i7")
            || cpuBrand.containsIgnoreCase ("i9")
            || cpuBrand.containsIgnoreCase ("Apple");
    }

   #if defined (__APPLE__)
    juce::String readBrandFromSysctl()
    {
        constexpr const char* brandKey = "machdep.cpu.brand_string";

        size_t size = 0;
        if (sysctlbyname (brandKey, nullptr, &size, nullptr, 0) != 0)
            return unknownBrand;

        // One zero byte more than asked for, so the text always ends inside the buffer.
        std::vector<char> buffer (size + 1, 0);
        if (sysctlbyname (brandKey, buffer.data(), &size, nullptr, 0) != 0)
            return unknownBrand;

        return juce::String::fromUTF8 (buffer.data());
    }
   #elif defined (__linux__)
    juce::String readBrandFromCpuInfo()
    {
        // Read through the standard library: /proc files report a size of zero.
        std::ifstream cpuInfo ("/proc/cpuinfo");
        if (! cpuInfo)
            return unknownBrand;

        std::ostringstream text;
        text << cpuInfo.rdbuf();
        return findModelName (juce::String::fromUTF8 (text.str().c_str()));
    }
   #endif
}

WorkerPlan chooseWorkerCount (unsigned int hardwareThreads, const juce::String& cpuBrand)
{
    const auto n = hardwareThreads == 0 ? fallbackHardwareThreads : (int) hardwareThreads;

    // The "i5" test comes first, so a brand that also names a faster family stays constrained.
    if (cpuBrand.containsIgnoreCase ("i5"))
        return { halfTheThreads (n),
                 makeTopologyLine ("Intel Core i5 detected. Constraining worker threads (Tier 2).") };

    if (scalesWithEveryThread (cpuBrand))
        return { allThreadsButOne (n),
                 makeTopologyLine (cpuBrand + " detected. Scaling up worker threads (Tier 1).") };

    return { halfTheThreads (n),
             makeTopologyLine (cpuBrand + ". Using safe thread allocation.") };
}

juce::String readProcessorBrand()
{
   #if defined (__APPLE__)
    return readBrandFromSysctl();
   #elif defined (__linux__)
    return readBrandFromCpuInfo();
   #else
    return unknownBrand;
   #endif
}

juce::String findModelName (const juce::String& cpuInfo)
{
    for (const auto& line : juce::StringArray::fromLines (cpuInfo))
    {
        if (! line.containsChar (':'))
            continue;

        if (line.upToFirstOccurrenceOf (":", false, false).trim() == "model name")
        {
            const auto name = line.fromFirstOccurrenceOf (":", false, false).trim();
            return name.isNotEmpty() ? name : unknownBrand;
        }
    }

    return unknownBrand;
}

//==============================================================================
juce::File getOutputFileFor (const juce::File& inputFile, const CLIArgs& args)
{
    if (args.outputDir != juce::File())
        return args.outputDir.getChildFile (inputFile.getFileName());

    return args.outputFile;
}

namespace
{
    /** What the jobs share with the thread that waits for them. */
    struct JobCounters
    {
        std::atomic<int> successCount { 0 };
        std::atomic<int> failedCount { 0 };
        std::atomic<int> remainingJobs { 0 };
        juce::WaitableEvent allJobsDone { false };
    };

    /** Counts one job exactly once, however the job ends: a job that is left
        without a count (an exception on the way) counts as failed. The job that
        counts the last one down wakes the waiting thread.
    */
    class JobTally
    {
    public:
        explicit JobTally (JobCounters& c) noexcept : counters (c) {}

        ~JobTally()
        {
            if (! counted)
                ++counters.failedCount;

            if (--counters.remainingJobs == 0)
                counters.allJobsDone.signal();
        }

        void countSuccess() noexcept    { ++counters.successCount; counted = true; }
        void countFailure() noexcept    { ++counters.failedCount;    counted = true; }

    private:
        JobCounters& counters;
        bool counted = false;

        JUCE_DECLARE_NON_COPYABLE (JobTally)
    };

    AudioPipeline::Result makeFailure (const juce::String& reason)
    {
        AudioPipeline::Result result;
        result.errorMessage = reason;
        return result;
    }

    /** Processing may run out of memory on a long recording; that, or anything else
        thrown, fails this one file and leaves the rest of the batch running.
    */
    AudioPipeline::Result processCatchingExceptions (const ProcessFunction& process,
                                                     const juce::File& inputFile, const juce::File& outputFile,
                                                     const AudioPipeline::Config& config)
    {
        try
        {
            return process (inputFile, outputFile, config);
        }
        catch (const std::bad_alloc&)
        {
            return makeFailure ("Out of memory");
        }
        catch (const std::exception& e)
        {
            return makeFailure (juce::String::fromUTF8 (e.what()));
        }
        catch (...)
        {
            return makeFailure ("Unknown exception");
        }
    }

    constexpr const char* failureLineStart = "[Error] Failed processing ";
    constexpr const char* outOfMemoryReason = "Out of memory";

    /** The file's name, read out of its path in place. */
    std::string_view fileNameOf (const juce::File& file) noexcept
    {
        const auto path = utf8Of (file.getFullPathName());
        const auto separator = path.find_last_of ('/');
        return separator == std::string_view::npos ? path : path.substr (separator + 1);
    }

    /** The failure line straight onto standard error, where the program's logger writes
        too, for when there is no memory left to make it a log message.
    */
    void writeFailureLineWithoutAllocating (const juce::File& inputFile, std::string_view reason) noexcept
    {
        const std::string_view pieces[] { failureLineStart, fileNameOf (inputFile), ": ", reason };
        writeLineToStandardError (pieces);
    }

    /** Every failed file gets its line, whatever memory is left. */
    void logFailure (const juce::File& inputFile, const juce::String& linePrefix, const juce::String& reason) noexcept
    {
        try
        {
            juce::Logger::writeToLog (linePrefix + reason);
            return;
        }
        catch (...)
        {
            // Making the message, or the logger, ran out of memory.
        }

        writeFailureLineWithoutAllocating (inputFile, utf8Of (reason));
    }

    void fileJob (const juce::File& inputFile, const CLIArgs& args, const AudioPipeline::Config& config,
                     const ProcessFunction& process, JobCounters& counters)
    {
        JobTally tally (counters);
        AudioPipeline::Result result;
        juce::String linePrefix;
        bool outOfMemory = false;

        try
        {
            // Made before the file is processed, so that little memory is needed to report it.
            linePrefix = failureLineStart + inputFile.getFileName() + ": ";
            result = processCatchingExceptions (process, inputFile, getOutputFileFor (inputFile, args), config);
        }
        catch (const std::bad_alloc&)
        {
            // Naming the output, or reporting what processing threw, ran out of memory.
            outOfMemory = true;
        }

        if (result.success)
        {
            tally.countSuccess();
            return;
        }

        tally.countFailure();

        if (outOfMemory)
            writeFailureLineWithoutAllocating (inputFile, outOfMemoryReason);
        else
            logFailure (inputFile, linePrefix, result.errorMessage);
    }
}

BatchCounts runFileJobs (const juce::Array<juce::File>& inputFiles, const CLIArgs& args,
                         const AudioPipeline::Config& config, int workerCount, const ProcessFunction& process)
{
    JobCounters counters;

    // Set before the first job is queued, so no early job can count down to zero.
    counters.remainingJobs = inputFiles.size();

    // Before the first job too: a job's side file must never land on a file another job has yet to read.
    AudioPipeline::protectRunInputs (inputFiles);

    {
        // The pool ends, and with it every job, before the counters are read and
        // released: the last job may still be inside its signal when this thread wakes.
        juce::ThreadPool pool (workerCount, 0, juce::Thread::Priority::normal);

        for (const auto& inputFile : inputFiles)
        {
            pool.addJob (std::function<void()> ([inputFile, args, config, &process, &counters]
                                                {
                                                    fileJob (inputFile, args, config, process, counters);
                                                }));
        }

        if (! inputFiles.isEmpty())
            counters.allJobsDone.wait (-1);
    }

    return { counters.successCount.load(), counters.failedCount.load() };
}

//==============================================================================
// The run itself and the entry point. The tests and benchmarks build this file
// without them, to call the runner's functions in their own processes.
#if ! VOXMENDER_WITHOUT_ENTRY_POINT
namespace
{
    constexpr int exitSuccess           = 0;
    constexpr int exitCommandLineError  = 1;
    constexpr int exitSomeFilesFailed   = 2;
    constexpr int exitSummaryNotWritten = 3;

    bool isBatch (const CLIArgs& args)
    {
        return isGiven (args.inputDir);
    }

    /** A batch takes every "*.wav" directly inside the input directory, in any case and
        hidden ones too, in the order the directory yields them. A single input is handed
        on whether or not it exists: its processing decides whether it succeeds.
    */
    juce::Array<juce::File> listInputFiles (const CLIArgs& args)
    {
        if (isBatch (args))
            return args.inputDir.findChildFiles (juce::File::findFiles, false, "*.wav",
                                                 juce::File::FollowSymlinks::yes);

        return { args.inputFile };
    }

    /** A directory that cannot be made is not reported here: writing into it fails
        for each file instead. An empty file makes no directory.
    */
    void createOutputLocation (const CLIArgs& args)
    {
        if (isBatch (args))
            args.outputDir.createDirectory();
        else
            args.outputFile.getParentDirectory().createDirectory();
    }

    /** A program started with SIGCHLD ignored (as some supervisors and job runners start
        theirs; the setting survives exec) would have the system discard its children's
        exit statuses, and a denoiser that failed could not be told from one that
        succeeded. Set back before any thread or child exists, so that every status is kept.
    */
    void collectChildStatuses()
    {
        struct sigaction defaultAction {};
        defaultAction.sa_handler = SIG_DFL;
        sigemptyset (&defaultAction.sa_mask);
        sigaction (SIGCHLD, &defaultAction, nullptr);
    }

    /** Logs the rule's two lines, before any job can log. */
    int chooseAndLogWorkerCount()
    {
        const auto cpuBrand = readProcessorBrand();
        const auto plan = chooseWorkerCount (std::thread::hardware_concurrency(), cpuBrand);

        juce::Logger::writeToLog (plan.topologyLine);
        juce::Logger::writeToLog ("[System] Initializing ThreadPool with " + juce::String (plan.workerCount) + " workers.");
        return plan.workerCount;
    }

    /** False when the line did not reach standard output (a full disk, a closed file). */
    bool printSummary (const BatchCounts& counts)
    {
        std::cout << "{\"status\":\"batch_complete\",\"success\":" << counts.successCount
                  << ",\"failed\":" << counts.failedCount << "}" << std::endl;
        return ! std::cout.fail();
    }

    int runBatch (const CLIArgs& args)
    {
        // From here on every log message, from whichever job, reaches standard error whole.
        StandardErrorLogger logger;

        const auto config = makePipelineConfig (args);
        const auto inputFiles = listInputFiles (args);
        createOutputLocation (args);

        const auto workerCount = chooseAndLogWorkerCount();

        if (inputFiles.isEmpty())
        {
            juce::Logger::writeToLog ("[System] No files found to process.");
            return exitSuccess;
        }

        const auto counts = runFileJobs (inputFiles, args, config, workerCount);

        // Whoever reads the summary must not take its absence for a run without files.
        if (! printSummary (counts))
        {
            juce::Logger::writeToLog ("[System] ERROR: Failed to write the summary line to standard output");
            return exitSummaryNotWritten;
        }

        return counts.failedCount != 0 ? exitSomeFilesFailed : exitSuccess;
    }
}

int main (int argc, char* argv[])
{
    collectChildStatuses();

    const auto args = collectArguments (argc, argv);
    const auto parsed = parseArguments (args);

    if (parsed.showHelp)
    {
        std::cout << getUsageText() << std::endl;
        return exitSuccess;
    }

    if (! parsed.valid)
    {
        std::cerr << "ERROR: " << parsed.errorMessage.toStdString() << std::endl;
        std::cerr << "Run with --help for usage information." << std::endl;
        return exitCommandLineError;
    }

    return runBatch (parsed);
}
#endif
