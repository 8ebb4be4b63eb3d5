// Runs an outside program that writes 128 MiB of output through the runner, and
// the same program writing into /dev/null as the quiet peer, in one run: the wall
// time of each, their ratio, and how far this process's peak memory grew with the
// output. The runner keeps only the two ends of a long output, so the growth should
// stay within a few MiB.

#include "BenchSupport.h"

#include "SubprocessRunner.h"

namespace
{
    constexpr int outputMiB = 128;
    constexpr int limitMs = 300000;   // the denoiser's limit

    const juce::String writer = "head -c " + juce::String (outputMiB * 1024 * 1024) + " /dev/zero | tr '\\0' x";

    struct Timing
    {
        double seconds = 0.0;
        bool ok = false;
    };

    Timing timeRun (const juce::String& script)
    {
        const auto result = SubprocessRunner::run (juce::StringArray ("/bin/sh", "-c", script), limitMs, {});
        return { result.elapsedMs / 1000.0, result.exitCode == 0 && ! result.timedOut };
    }
}

int runRunnerBenchmark()
{
    const bench::SilentLogger silent;

    std::cout << "An outside program writing " << outputMiB << " MiB through the runner" << std::endl;

    const auto quiet = timeRun (writer + " > /dev/null");
    const auto memoryBefore = bench::peakMemoryMiB();
    const auto loud = timeRun (writer);
    const auto memoryGrowth = bench::peakMemoryMiB() - memoryBefore;

    std::cout << "  into /dev/null (peer): " << juce::String (quiet.seconds, 3) << " s" << std::endl;
    std::cout << "  through the runner:    " << juce::String (loud.seconds, 3) << " s, "
              << juce::String (loud.seconds / juce::jmax (quiet.seconds, 1.0e-9), 2) << "x the peer" << std::endl;
    std::cout << "  peak memory growth:    " << juce::String (memoryGrowth, 1) << " MiB" << std::endl;

    return quiet.ok && loud.ok ? 0 : 1;
}
