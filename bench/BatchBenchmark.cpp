// Times a batch of sixteen one-minute speech-like takes through the batch runner's pool with
// 1, 2 and 4 workers and with the count the worker rule picks for this machine,
// and prints the wall time and the speed-up over one worker. Noise reduction is
// off, so no outside program runs; the log goes nowhere.

#include "BenchSupport.h"

#include "Main.h"
#include "TestSupport.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace
{
    constexpr int    numTakes        = 16;
    constexpr double takeSeconds     = 60.0;
    constexpr double takeSampleRate  = 48000.0;
    constexpr int    takeChannels    = 2;

    /** Each worker count should at least reach this share of a perfect speed-up. */
    constexpr double targetEfficiency = 0.8;

    /** Wall-clock seconds for the whole batch with the given number of workers. */
    double timeBatch (const juce::Array<juce::File>& takes, const CLIArgs& args,
                      const AudioPipeline::Config& config, int workerCount)
    {
        const auto start = juce::Time::getMillisecondCounterHiRes();
        const auto counts = runFileJobs (takes, args, config, workerCount);
        const auto seconds = (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0;

        if (counts.failedCount != 0)
            std::cout << "  (" << counts.failedCount << " of " << takes.size() << " takes failed)" << std::endl;

        return seconds;
    }
}

int runBatchBenchmark()
{
    const auto hardwareThreads = std::thread::hardware_concurrency();
    const auto plan = chooseWorkerCount (hardwareThreads, readProcessorBrand());

    std::cout << "Batch of " << numTakes << " takes of " << takeSeconds / 60.0 << " min, " << takeSampleRate
              << " Hz stereo, noise reduction off; " << hardwareThreads << " hardware threads" << std::endl;
    std::cout << "  " << plan.topologyLine << std::endl;

    const auto work = juce::File::getSpecialLocation (juce::File::tempDirectory)
                          .getNonexistentChildFile ("voxmender-batch-bench", {}, false);
    const auto inputDir = work.getChildFile ("in");
    inputDir.createDirectory();

    juce::Array<juce::File> takes;

    for (int i = 0; i < numTakes; ++i)
    {
        takes.add (inputDir.getChildFile ("take" + juce::String (i + 1).paddedLeft ('0', 2) + ".wav"));

        const auto take = testing_support::makeSpeechLike (takeChannels, (int) (takeSeconds * takeSampleRate),
                                                           takeSampleRate, i + 1);

        if (! bench::writeWav16 (takes.getLast(), take, takeSampleRate))
        {
            std::cerr << "cannot write " << takes.getLast().getFullPathName() << std::endl;
            work.deleteRecursively();
            return 1;
        }
    }

    CLIArgs args;
    args.outputDir = work.getChildFile ("out");
    args.outputDir.createDirectory();

    AudioPipeline::Config config;
    config.denoise = false;

    const bench::SilentLogger silent;

    std::vector<int> workerCounts { 1, 2, 4 };
    if (std::find (workerCounts.begin(), workerCounts.end(), plan.workerCount) == workerCounts.end())
        workerCounts.push_back (plan.workerCount);

    double oneWorkerSeconds = 0.0;

    for (const auto workers : workerCounts)
    {
        const auto seconds = timeBatch (takes, args, config, workers);

        if (workers == 1)
            oneWorkerSeconds = seconds;

        const auto speedUp = oneWorkerSeconds / juce::jmax (seconds, 1.0e-9);
        const auto target = targetEfficiency * workers;

        std::cout << "  " << workers << (workers == plan.workerCount ? " workers (the rule's count)" : " workers")
                  << ": " << juce::String (seconds, 2) << " s, speed-up " << juce::String (speedUp, 2)
                  << "x (target " << juce::String (target, 1) << "x"
                  << (speedUp >= target ? ", met)" : ", missed)") << std::endl;
    }

    work.deleteRecursively();
    return 0;
}
