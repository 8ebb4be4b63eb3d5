#include "AudioAnalyzer.h"
#include "BenchSupport.h"

#include <cmath>

namespace
{
    constexpr double benchSampleRate = 48000.0;
    constexpr double benchSeconds = 600.0;
    constexpr int benchChannels = 2;

    /** Quiet white noise under a 1 kHz tone at -12 dBFS, different noise in each channel. */
    juce::AudioBuffer<float> makeNoisePlusTone (int numChannels, int numSamples)
    {
        juce::AudioBuffer<float> buffer (numChannels, numSamples);
        juce::Random random (42);
        const auto phaseStep = juce::MathConstants<double>::twoPi * 1000.0 / benchSampleRate;

        for (int ch = 0; ch < numChannels; ++ch)
        {
            auto* data = buffer.getWritePointer (ch);

            for (int i = 0; i < numSamples; ++i)
                data[i] = (float) (0.25 * std::sin (phaseStep * i) + 0.05 * (2.0 * random.nextDouble() - 1.0));
        }

        return buffer;
    }
}

int runAnalyzerBenchmark()
{
    const auto numSamples = (int) (benchSeconds * benchSampleRate);
    const auto buffer = makeNoisePlusTone (benchChannels, numSamples);
    const bench::SilentLogger silentLogger;

    std::cout << "AudioAnalyzer: " << benchSeconds << " s of " << benchSampleRate << " Hz, " << benchChannels
              << " channels, noise plus tone, single thread" << std::endl;
    std::cout << "  peak memory with the input alone: " << juce::String (bench::peakMemoryMiB(), 1) << " MiB"
              << " (input " << juce::String (buffer.getNumChannels() * (double) numSamples * 4.0 / (1024.0 * 1024.0), 1)
              << " MiB)" << std::endl;

    bench::timeStage ("whole pass (analyze)", benchSeconds, [&] { AudioAnalyzer::analyze (buffer, benchSampleRate); });
    std::cout << "  peak memory after the pass: " << juce::String (bench::peakMemoryMiB(), 1) << " MiB" << std::endl;

    std::cout << "  per measurement:" << std::endl;
    {
        juce::AudioBuffer<float> weighted;
        bench::timeStage ("copy + K-weighting", benchSeconds, [&]
        {
            weighted.makeCopyOf (buffer);
            AudioAnalyzer::applyKWeighting (weighted, benchSampleRate);
        });
        bench::timeStage ("integrated loudness", benchSeconds, [&] { AudioAnalyzer::calculateIntegratedLUFS (weighted, benchSampleRate); });
    }

    const auto blockSize = (int) (benchSampleRate * 0.02);
    std::vector<bool> flags;
    double snr = 0, noiseFloor = 0, voiced = 0, sibilanceRMS = 0, sibilanceDBFS = 0;

    bench::timeStage ("true peak", benchSeconds, [&] { AudioAnalyzer::calculateTruePeak (buffer, benchSampleRate); });
    bench::timeStage ("voice activity", benchSeconds, [&] { flags = AudioAnalyzer::computeVAD (buffer, benchSampleRate, blockSize); });
    bench::timeStage ("signal-to-noise", benchSeconds, [&]
    {
        AudioAnalyzer::calculateSNR (buffer, benchSampleRate, flags, blockSize, snr, noiseFloor, voiced);
    });
    bench::timeStage ("spectral tilt", benchSeconds, [&] { AudioAnalyzer::calculateSpectralTilt (buffer, benchSampleRate); });
    bench::timeStage ("sibilance", benchSeconds, [&]
    {
        AudioAnalyzer::calculateSibilanceEnergy (buffer, benchSampleRate, sibilanceRMS, sibilanceDBFS);
    });
    bench::timeStage ("crest factor", benchSeconds, [&] { AudioAnalyzer::calculateCrestFactor (buffer); });
    bench::timeStage ("grid hum", benchSeconds, [&] { AudioAnalyzer::detectGridHum (buffer, benchSampleRate); });

    std::cout << "  peak memory at the end: " << juce::String (bench::peakMemoryMiB(), 1) << " MiB" << std::endl;
    return 0;
}
