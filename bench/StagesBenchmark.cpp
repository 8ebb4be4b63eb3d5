// Times every voice-processing stage on ten minutes of 48 kHz stereo speech-like
// audio, one stage after another on the same buffer as the stage chain runs them.

#include "BenchSupport.h"

#include "AudioPipeline.h"

namespace
{
    constexpr double benchSampleRate = 48000.0;
    constexpr double benchSeconds    = 600.0;
    constexpr int    benchChannels   = 2;

    /** A crude voice: a sawtooth whose pitch glides between 90 and 220 Hz, gated into
        syllables at about 4 Hz with short pauses, a hiss burst now and then for the
        sibilants, and a faint noise floor throughout. The right channel is a quieter,
        slightly delayed copy with its own noise.
    */
    juce::AudioBuffer<float> makeSpeechLikeSignal (int numSamples)
    {
        juce::AudioBuffer<float> buffer (benchChannels, numSamples);
        juce::Random random (42);

        auto* left = buffer.getWritePointer (0);
        double phase = 0.0;

        for (int i = 0; i < numSamples; ++i)
        {
            const auto t = i / benchSampleRate;
            const auto pitch = 155.0 + 65.0 * std::sin (juce::MathConstants<double>::twoPi * 0.3 * t);
            phase += pitch / benchSampleRate;
            phase -= std::floor (phase);

            const auto syllable = std::sin (juce::MathConstants<double>::twoPi * 4.0 * t);
            const auto envelope = syllable > 0.0 ? syllable : 0.0;
            const auto voiced = 0.3 * envelope * (2.0 * phase - 1.0);

            const auto sibilant = std::fmod (t, 1.7) < 0.08 ? 0.15 * (2.0 * random.nextDouble() - 1.0) : 0.0;
            const auto floorNoise = 0.001 * (2.0 * random.nextDouble() - 1.0);

            left[i] = (float) (voiced + sibilant + floorNoise);
        }

        constexpr int delaySamples = 24;
        auto* right = buffer.getWritePointer (1);

        for (int i = 0; i < numSamples; ++i)
            right[i] = 0.8f * (i >= delaySamples ? left[i - delaySamples] : 0.0f)
                     + 0.001f * (2.0f * random.nextFloat() - 1.0f);

        return buffer;
    }
}

int runStagesBenchmark()
{
    const auto numSamples = (int) (benchSeconds * benchSampleRate);
    std::cout << "Voice-processing stages, " << benchSeconds / 60.0 << " min of " << benchSampleRate
              << " Hz stereo, single-threaded" << std::endl;
    std::cout << "  peak memory before the signal: " << juce::String (bench::peakMemoryMiB(), 1) << " MiB" << std::endl;

    auto buffer = makeSpeechLikeSignal (numSamples);
    std::cout << "  peak memory with the signal:   " << juce::String (bench::peakMemoryMiB(), 1) << " MiB" << std::endl;

    // The stage lines go nowhere; only the timings are printed.
    struct SilentLogger : juce::Logger { void logMessage (const juce::String&) override {} } silent;
    juce::Logger::setCurrentLogger (&silent);

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

    juce::Logger::setCurrentLogger (nullptr);

    std::cout << "  all stages: " << juce::String (total, 3) << " s, "
              << juce::String (benchSeconds / juce::jmax (total, 1.0e-9), 1) << "x realtime" << std::endl;
    std::cout << "  peak memory after the stages:  " << juce::String (bench::peakMemoryMiB(), 1) << " MiB" << std::endl;
    return 0;
}
