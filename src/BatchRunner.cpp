#include "BatchRunner.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#if defined (__APPLE__)
 #include <sys/types.h>
 #include <sys/sysctl.h>
#endif

//==============================================================================
namespace
{
    /** Writes the whole buffer, going on after partial writes and interrupted calls.
        When standard error is gone there is nobody left to tell, so the rest is dropped.
    */
    void writeAll (int fileDescriptor, const char* data, size_t size)
    {
        while (size > 0)
        {
            const auto written = ::write (fileDescriptor, data, size);

            if (written < 0)
            {
                if (errno == EINTR)
                    continue;

                return;
            }

            data += written;
            size -= (size_t) written;
        }
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
    std::string line (message.toRawUTF8(), message.getNumBytesAsUTF8());
    line += '\n';

    // One write is enough on its own only up to the pipe's atomic size; the lock keeps
    // longer messages (an analysis report, an outside program's output) whole as well.
    const std::lock_guard<std::mutex> lock (writeMutex);
    writeAll (STDERR_FILENO, line.data(), line.size());
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
        return BatchRunner::findModelName (juce::String::fromUTF8 (text.str().c_str()));
    }
   #endif
}

BatchRunner::WorkerPlan BatchRunner::chooseWorkers (unsigned int hardwareThreads, const juce::String& cpuBrand)
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

juce::String BatchRunner::readProcessorBrand()
{
   #if defined (__APPLE__)
    return readBrandFromSysctl();
   #elif defined (__linux__)
    return readBrandFromCpuInfo();
   #else
    return unknownBrand;
   #endif
}

juce::String BatchRunner::findModelName (const juce::String& cpuInfo)
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
juce::File BatchRunner::getOutputFileFor (const juce::File& inputFile, const CLIArgs& args)
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
        std::atomic<int> succeeded { 0 };
        std::atomic<int> failed { 0 };
        std::atomic<int> remaining { 0 };
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
                ++counters.failed;

            if (--counters.remaining == 0)
                counters.allJobsDone.signal();
        }

        void countSuccess() noexcept    { ++counters.succeeded; counted = true; }
        void countFailure() noexcept    { ++counters.failed;    counted = true; }

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
    AudioPipeline::Result processCatchingExceptions (const BatchRunner::ProcessFunction& process,
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

    void runFileJob (const juce::File& inputFile, const CLIArgs& args, const AudioPipeline::Config& config,
                     const BatchRunner::ProcessFunction& process, JobCounters& counters)
    {
        JobTally tally (counters);

        const auto result = processCatchingExceptions (process, inputFile,
                                                       BatchRunner::getOutputFileFor (inputFile, args), config);

        if (result.success)
        {
            tally.countSuccess();
            return;
        }

        tally.countFailure();
        juce::Logger::writeToLog ("[Error] Failed processing " + inputFile.getFileName() + ": " + result.errorMessage);
    }
}

BatchRunner::Counts BatchRunner::runJobs (const juce::Array<juce::File>& inputFiles, const CLIArgs& args,
                                          const AudioPipeline::Config& config, int workerCount,
                                          const ProcessFunction& process)
{
    JobCounters counters;

    // Set before the first job is queued, so no early job can count down to zero.
    counters.remaining = inputFiles.size();

    {
        // The pool ends, and with it every job, before the counters are read and
        // released: the last job may still be inside its signal when this thread wakes.
        juce::ThreadPool pool (workerCount, 0, juce::Thread::Priority::normal);

        for (const auto& inputFile : inputFiles)
        {
            pool.addJob (std::function<void()> ([inputFile, args, config, &process, &counters]
                                                {
                                                    runFileJob (inputFile, args, config, process, counters);
                                                }));
        }

        if (! inputFiles.isEmpty())
            counters.allJobsDone.wait (-1);
    }

    return { counters.succeeded.load(), counters.failed.load() };
}
