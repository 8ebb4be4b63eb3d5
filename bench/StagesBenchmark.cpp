// Times every voice-processing stage on ten minutes of 48 kHz stereo speech-like
// audio, one stage after another on the same buffer as the stage chain runs them.

#include "BenchSupport.h"

#include "AudioPipeline.h"
#include "TestSupport.h"

namespace
{
    constexpr double benchSampleRate = 48000.0;
    constexpr double benchSeconds    = 600.0;
    constexpr int    benchChannels   = 2;
}

int runStagesBenchmark()
{
    const auto numSamples = (int) (benchSeconds * benchSampleRate);
    std::cout << "Voice-processing stages, " << benchSeconds / 60.0 << " min of " << benchSampleRate
              << " Hz stereo, single-threaded" << std::endl;
    std::cout << "  peak memory before the signal: " << juce::String (bench::peakMemoryMiB(), 1) << " MiB" << std::endl;

    auto buffer = testing_support::makeSpeechLike (benchChannels, numSamples, benchSampleRate);
    std::cout << "  peak memory with the signal:   " << juce::String (bench::peakMemoryMiB(), 1) << " MiB" << std::endl;

    // The stage lines go nowhere; only the timings are printed.
    auto silent = std::make_unique<bench::SilentLogger>();

    double total = 0.0;
    const auto time = [&] (const char* name, const std::function<void()>& work)
    {
        total += bench::timeStage (name, benchSeconds, work);
    };

    time ("pre-filter (with hum notches)", [&] { AudioPipeline::applyPreFilter (buffer, benchSampleRate, true); });
    time ("make-up gain",                  [&] { AudioPipeline::applyMakeupGain (buffer, 3.0f); });
    time ("de-esser",                      [&] { AudioPipeline::applyDeEsser (buffer, benchSampleRate, -30.0f); });
    time ("expander",                      [&] { AudioPipeline::applyExpander (buffer, benchSampleRate, -50.0f); });
    time ("vocal EQ (with mud cut)",       [&] { AudioPipeline::applyVocalEQ (buffer, benchSampleRate, "Male", 4.0f, 3.0f, -3.0f); });
    time ("opto compressor",               [&] { AudioPipeline::applyOptoCompressor (buffer, benchSampleRate); });
    time ("harmonic saturation",           [&] { AudioPipeline::applyHarmonicSaturation (buffer, benchSampleRate, 0.5f); });
    time ("make-up gain",                  [&] { AudioPipeline::applyMakeupGain (buffer, -2.0f); });
    time ("limiter",                       [&] { AudioPipeline::applyLimiter (buffer, benchSampleRate, -1.0f); });

    silent.reset();

    std::cout << "  all stages: " << juce::String (total, 3) << " s, "
              << juce::String (benchSeconds / juce::jmax (total, 1.0e-9), 1) << "x realtime" << std::endl;
    std::cout << "  peak memory after the stages:  " << juce::String (bench::peakMemoryMiB(), 1) << " MiB" << std::endl;
    return 0;
}
