#include <gtest/gtest.h>

#include "AudioAnalyzer.h"
#include "TestSupport.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

using testing_support::CapturingLogger;
using testing_support::makeNoise;
using testing_support::makeSilence;
using testing_support::makeSine;

namespace juce
{
    // Readable failures for whole-log comparisons.
    inline void PrintTo (const StringArray& lines, std::ostream* os)
    {
        for (auto& line : lines)
            *os << "\n  [" << line << "]";
    }
}

namespace
{
    juce::String utf8 (const char* text)  { return juce::String::fromUTF8 (text); }

    juce::StringArray messagesStartingWith (const CapturingLogger& logger, const juce::String& prefix)
    {
        juce::StringArray found;

        for (auto& message : logger.getMessages())
            if (message.startsWith (prefix))
                found.add (message);

        return found;
    }

    double weightedLoudness (const juce::AudioBuffer<float>& buffer, double sampleRate)
    {
        juce::AudioBuffer<float> copy (buffer);
        AudioAnalyzer::applyKWeighting (copy, sampleRate);
        return AudioAnalyzer::calculateIntegratedLUFS (copy, sampleRate);
    }

    juce::AudioBuffer<float> concatenate (const juce::AudioBuffer<float>& first, const juce::AudioBuffer<float>& second)
    {
        juce::AudioBuffer<float> joined (first.getNumChannels(), first.getNumSamples() + second.getNumSamples());

        for (int ch = 0; ch < joined.getNumChannels(); ++ch)
        {
            joined.copyFrom (ch, 0, first, ch, 0, first.getNumSamples());
            joined.copyFrom (ch, first.getNumSamples(), second, ch, 0, second.getNumSamples());
        }

        return joined;
    }

    /** One channel of constant-valued blocks: block i holds levels[i] in every sample. */
    juce::AudioBuffer<float> makeBlocks (const std::vector<float>& levels, int blockSize)
    {
        juce::AudioBuffer<float> buffer (1, (int) levels.size() * blockSize);

        for (size_t block = 0; block < levels.size(); ++block)
            for (int i = 0; i < blockSize; ++i)
                buffer.setSample (0, (int) block * blockSize + i, levels[block]);

        return buffer;
    }

    /** White noise through a leaky integrator (about -6 dB/octave) or a first difference (about +6). */
    juce::AudioBuffer<float> makeColouredNoise (int numSamples, bool darker)
    {
        auto buffer = makeNoise (1, numSamples, 0.5, 7);
        auto* data = buffer.getWritePointer (0);
        double state = 0.0, previous = 0.0;

        for (int i = 0; i < numSamples; ++i)
        {
            const double x = data[i];
            const double y = darker ? (state = 0.999 * state + x) * 0.05 : (x - previous);
            previous = x;
            data[i] = (float) y;
        }

        return buffer;
    }

    //==============================================================================
    /** Integrated loudness after BS.1770-4 with every step in double: the K-weighting
        designed from its analog prototype at 48 kHz, no rounding to float anywhere.
    */
    double referenceLoudness48k (const juce::AudioBuffer<float>& buffer)
    {
        struct Stage { double b0, b1, b2, a1, a2; };
        const double fs = 48000.0;

        const auto shelf = [fs]
        {
            const double f0 = 1681.974450955533, gainDB = 3.999843853973347, q = 0.7071752369554196;
            const double k = std::tan (juce::MathConstants<double>::pi * f0 / fs);
            const double vh = std::pow (10.0, gainDB / 20.0), vb = std::pow (vh, 0.4996667741545416);
            const double a0 = 1.0 + k / q + k * k;
            return Stage { (vh + vb * k / q + k * k) / a0, 2.0 * (k * k - vh) / a0, (vh - vb * k / q + k * k) / a0,
                           2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0 };
        }();

        const auto highPass = [fs]
        {
            const double f0 = 38.13547087602444, q = 0.5003270373238773;
            const double k = std::tan (juce::MathConstants<double>::pi * f0 / fs);
            const double a0 = 1.0 + k / q + k * k;
            return Stage { 1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0 };
        }();

        const auto filter = [] (std::vector<double>& x, const Stage& s)
        {
            double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
            for (auto& v : x)
            {
                const double y = s.b0 * v + s.b1 * x1 + s.b2 * x2 - s.a1 * y1 - s.a2 * y2;
                x2 = x1; x1 = v; y2 = y1; y1 = y; v = y;
            }
        };

        std::vector<std::vector<double>> channels;

        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
        {
            std::vector<double> x (buffer.getReadPointer (ch), buffer.getReadPointer (ch) + buffer.getNumSamples());
            filter (x, shelf);
            filter (x, highPass);
            channels.push_back (std::move (x));
        }

        std::vector<double> powers;

        for (size_t start = 0; start + 19200 <= (size_t) buffer.getNumSamples(); start += 4800)
        {
            double z = 0.0;
            for (auto& x : channels)
            {
                double sum = 0.0;
                for (size_t i = start; i < start + 19200; ++i)
                    sum += x[i] * x[i];
                z += sum / 19200.0;
            }
            powers.push_back (z);
        }

        const auto loudness = [] (double power) { return -0.691 + 10.0 * std::log10 (power); };
        const auto gatedMean = [&] (double threshold)
        {
            double sum = 0.0;
            int count = 0;
            for (auto z : powers)
                if (z > 0.0 && loudness (z) > threshold && loudness (z) > -70.0) { sum += z; ++count; }
            return sum / count;
        };

        const double relativeGate = loudness (gatedMean (-70.0)) - 10.0;
        return loudness (gatedMean (relativeGate));
    }
}

//==============================================================================
TEST (AudioAnalyzerLoudness, SineReferenceLevels)
{
    struct Case { int channels; double amplitude; double expected; const char* line; };
    const Case cases[] = {
        { 1, 1.0,  -3.0,  "[AudioAnalyzer/LUFS] Blocks: 27 | After abs gate: 27 | After rel gate: 27 | Integrated: -3.0 LUFS" },
        { 2, 1.0,   0.0,  "[AudioAnalyzer/LUFS] Blocks: 27 | After abs gate: 27 | After rel gate: 27 | Integrated: 0.0 LUFS" },
        { 1, 0.1, -23.0,  "[AudioAnalyzer/LUFS] Blocks: 27 | After abs gate: 27 | After rel gate: 27 | Integrated: -23.0 LUFS" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.line);
        CapturingLogger logger;
        EXPECT_NEAR (weightedLoudness (makeSine (c.channels, 3 * 48000, 48000.0, 997.0, c.amplitude), 48000.0), c.expected, 0.05);
        EXPECT_EQ (logger.getMessages(), juce::StringArray (c.line));
    }
}

TEST (AudioAnalyzerLoudness, BlockCountsFollowTruncatedBlockAndHop)
{
    // 0 blocks: too short for one block (or no hop at all), -144.0 and no line.
    struct Case { double rate; int numSamples; int blocks; };
    const Case cases[] = {
        { 48000.0, 48000, 7 },
        { 44100.0, 44100, 7 },
        { 48000.0, 19200, 1 },
        { 11025.0, 22050, 17 },   // block 4410, hop 1102 (not 1103)
        { 48000.0, 19199, 0 },
        { 5.0,     100,   0 },    // hop of 0 samples: must not walk forever
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.rate) + " Hz, " + juce::String (c.numSamples) + " samples");
        CapturingLogger logger;
        const auto lufs = weightedLoudness (makeSine (1, c.numSamples, c.rate, 997.0 * c.rate / 48000.0, 1.0), c.rate);
        const auto lines = logger.getMessages();

        if (c.blocks == 0)
        {
            EXPECT_EQ (lufs, -144.0);
            EXPECT_TRUE (lines.isEmpty());
            continue;
        }

        const auto n = juce::String (c.blocks);
        ASSERT_EQ (lines.size(), 1);
        EXPECT_TRUE (lines[0].startsWith ("[AudioAnalyzer/LUFS] Blocks: " + n + " | After abs gate: " + n
                                          + " | After rel gate: " + n + " | Integrated: ")) << lines[0];
    }
}

TEST (AudioAnalyzerLoudness, SilenceAfterToneIsGatedOut)
{
    const auto tone = makeSine (1, 5 * 48000, 48000.0, 997.0, 1.0);
    CapturingLogger logger;
    const auto lufs = weightedLoudness (concatenate (tone, makeSilence (1, 5 * 48000)), 48000.0);

    EXPECT_NEAR (lufs, -3.1, 0.05);
    EXPECT_EQ (logger.getMessages(),
               juce::StringArray ("[AudioAnalyzer/LUFS] Blocks: 97 | After abs gate: 51 | After rel gate: 50 | Integrated: -3.1 LUFS"));
}

TEST (AudioAnalyzerLoudness, StandardFiltersOnlyWithinOneHertzOf48k)
{
    const auto noise = makeNoise (2, 4800, 0.5);
    const auto weightedAt = [&noise] (double rate)
    {
        juce::AudioBuffer<float> copy (noise);
        AudioAnalyzer::applyKWeighting (copy, rate);
        return copy;
    };

    const auto identical = [] (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
    {
        for (int ch = 0; ch < a.getNumChannels(); ++ch)
            if (std::memcmp (a.getReadPointer (ch), b.getReadPointer (ch), sizeof (float) * (size_t) a.getNumSamples()) != 0)
                return false;
        return true;
    };

    const auto standard = weightedAt (48000.0);
    EXPECT_TRUE (identical (standard, weightedAt (47999.5)));
    EXPECT_TRUE (identical (standard, weightedAt (48000.9)));
    EXPECT_FALSE (identical (standard, weightedAt (47999.0)));
    EXPECT_FALSE (identical (standard, weightedAt (48001.0)));
    EXPECT_FALSE (identical (standard, noise));
}

TEST (AudioAnalyzerLoudness, RatesTooLowForAWeightingStageStayBounded)
{
    // Below 3000 Hz the shelf's corner, below 76 Hz also the high-pass corner,
    // is at or above half the rate. The weighting never lifts by more than the
    // shelf's 4 dB, so the reading stays at or below the unweighted level + 4 dB.
    const double unweightedLUFS = 10.0 * std::log10 (0.3 * 0.3 / 3.0) - 0.691;

    for (double rate : { 50.0, 75.0, 80.0, 1000.0, 2000.0, 2999.0, 3000.0, 8000.0 })
    {
        SCOPED_TRACE (rate);
        CapturingLogger logger;
        const auto lufs = weightedLoudness (makeNoise (1, (int) (rate * 60.0), 0.3), rate);
        EXPECT_LT (lufs, unweightedLUFS + 4.0);
        EXPECT_GT (lufs, -70.0);
    }
}

TEST (AudioAnalyzerLoudness, AgreesWithDoublePrecisionReference)
{
    struct Case { const char* name; juce::AudioBuffer<float> buffer; };
    std::vector<Case> cases;
    cases.push_back ({ "stereo noise", makeNoise (2, 3 * 48000, 0.5, 3) });
    cases.push_back ({ "100 Hz tone", makeSine (1, 3 * 48000, 48000.0, 100.0, 0.3) });
    cases.push_back ({ "6 kHz tone", makeSine (2, 3 * 48000, 48000.0, 6000.0, 0.5) });
    cases.push_back ({ "loud, quiet and silent sections",
                       concatenate (concatenate (makeNoise (1, 2 * 48000, 0.5, 4), makeNoise (1, 2 * 48000, 0.02, 5)),
                                    makeSilence (1, 48000)) });

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        CapturingLogger logger;
        EXPECT_NEAR (weightedLoudness (c.buffer, 48000.0), referenceLoudness48k (c.buffer), 0.01);
    }
}

// The filters of a measurement run together in one pass for speed; the figures must be
// exactly those of running each filter over the whole recording in turn.
TEST (AudioAnalyzerLoudness, KWeightingIsItsTwoStagesOneAfterTheOther)
{
    // BS.1770-4's two 48 kHz stages, each run on its own in direct form I in double precision,
    // its output rounded to float.
    const auto runStage = [] (float* samples, int numSamples, const double (&c)[5])
    {
        double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;

        for (int i = 0; i < numSamples; ++i)
        {
            const auto x = (double) samples[i];
            const auto y = c[0] * x + c[1] * x1 + c[2] * x2 - c[3] * y1 - c[4] * y2;
            samples[i] = (float) y;
            x2 = x1;  x1 = x;  y2 = y1;  y1 = y;
        }
    };

    const double shelf[5] { 1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241, 0.73248077421585 };
    const double highPass[5] { 1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621 };

    auto weighted = makeNoise (2, 48000, 0.5, 21);
    weighted.addFrom (1, 0, makeSine (1, 48000, 48000.0, 40.0, 0.4), 0, 0, 48000);
    auto expected = weighted;

    AudioAnalyzer::applyKWeighting (weighted, 48000.0);

    for (int ch = 0; ch < expected.getNumChannels(); ++ch)
    {
        runStage (expected.getWritePointer (ch), expected.getNumSamples(), shelf);
        runStage (expected.getWritePointer (ch), expected.getNumSamples(), highPass);
        EXPECT_EQ (std::memcmp (weighted.getReadPointer (ch), expected.getReadPointer (ch),
                                sizeof (float) * (size_t) expected.getNumSamples()), 0) << "channel " << ch;
    }
}

TEST (AudioAnalyzerSibilance, BandIsItsTwoFiltersOneAfterTheOther)
{
    for (const double rate : { 48000.0, 44100.0, 96000.0 })
    {
        SCOPED_TRACE (rate);
        auto buffer = makeNoise (2, 30000, 0.4, 5);
        buffer.addFrom (0, 0, makeSine (1, 30000, rate, 6500.0, 0.3), 0, 0, 30000);

        double sum = 0.0;

        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
        {
            juce::AudioBuffer<float> band (1, buffer.getNumSamples());
            band.copyFrom (0, 0, buffer, ch, 0, buffer.getNumSamples());
            juce::dsp::AudioBlock<float> block (band);

            for (const auto& coefficients : { juce::dsp::IIR::Coefficients<float>::makeHighPass (rate, 5000.0f, 0.707f),
                                              juce::dsp::IIR::Coefficients<float>::makeLowPass (rate, 8000.0f, 0.707f) })
            {
                juce::dsp::IIR::Filter<float> filter (coefficients);
                filter.process (juce::dsp::ProcessContextReplacing<float> (block));
            }

            for (int i = 0; i < band.getNumSamples(); ++i)
                sum += (double) band.getSample (0, i) * (double) band.getSample (0, i);
        }

        CapturingLogger logger;
        double rms = 0.0, dbfs = 0.0;
        AudioAnalyzer::calculateSibilanceEnergy (buffer, rate, rms, dbfs);
        EXPECT_EQ (rms, std::sqrt (sum / (2.0 * buffer.getNumSamples())));
    }
}

//==============================================================================
TEST (AudioAnalyzerTruePeak, NothingToMeasureReadsSilence)
{
    const juce::AudioBuffer<float> noChannels;
    const auto empty = makeSilence (1, 0);
    const auto silence = makeSilence (2, 48000);

    for (auto* buffer : { &noChannels, &empty, &silence })
    {
        CapturingLogger logger;
        EXPECT_EQ (AudioAnalyzer::calculateTruePeak (*buffer, 48000.0), -144.0);
        EXPECT_EQ (logger.getMessages(), juce::StringArray ("[AudioAnalyzer/TruePeak] Peak: 0.000000 | -144.0 dBTP"));
    }
}

TEST (AudioAnalyzerTruePeak, SteadyTonesReadTheirCrest)
{
    // sample peak: the largest sample; the oversampled reading finds the crest between samples.
    struct Case { const char* name; double frequency; double amplitude; double phase; double expectedDB; };
    const Case cases[] = {
        { "1 kHz at -20 dBFS",               1000.0,  0.1, 0.0, -20.0 },
        { "full-scale 997 Hz",               997.0,   1.0, 0.0,   0.0 },
        { "quarter rate, 45 degrees off",    12000.0, 1.0, juce::MathConstants<double>::pi / 4.0, 0.0 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        CapturingLogger logger;
        const auto tone = makeSine (1, 3 * 48000, 48000.0, c.frequency, c.amplitude, c.phase);
        EXPECT_NEAR (AudioAnalyzer::calculateTruePeak (tone, 48000.0), c.expectedDB, 0.2);
    }

    const auto offCrest = makeSine (1, 48000, 48000.0, 12000.0, 1.0, juce::MathConstants<double>::pi / 4.0);
    EXPECT_NEAR (offCrest.getMagnitude (0, 0, 48000), std::sqrt (0.5), 1.0e-6);
}

TEST (AudioAnalyzerTruePeak, NoJumpWhereAChunkStarts)
{
    CapturingLogger logger;
    const auto toneOf = [] (int numSamples) { return makeSine (1, numSamples, 48000.0, 1000.0, 0.1); };
    const auto oneChunk = AudioAnalyzer::calculateTruePeak (toneOf (65536), 48000.0);

    for (int numSamples : { 65537, 65536 * 3 + 100 })
    {
        SCOPED_TRACE (numSamples);
        EXPECT_NEAR (AudioAnalyzer::calculateTruePeak (toneOf (numSamples), 48000.0), oneChunk, 0.02);
    }
}

TEST (AudioAnalyzerTruePeak, NegativeExcursionCountsByItsMagnitude)
{
    // A smooth negative dip of 0.9 and a positive bump of 0.3 on a second channel.
    auto buffer = makeSilence (2, 4096);

    for (int i = 0; i < 64; ++i)
    {
        const auto hann = 0.5 - 0.5 * std::cos (juce::MathConstants<double>::twoPi * i / 64.0);
        buffer.setSample (0, 1000 + i, (float) (-0.9 * hann));
        buffer.setSample (1, 3000 + i, (float) (0.3 * hann));
    }

    CapturingLogger logger;
    EXPECT_NEAR (AudioAnalyzer::calculateTruePeak (buffer, 48000.0), 20.0 * std::log10 (0.9), 0.05);
    EXPECT_TRUE (logger.getMessages()[0].endsWith (" | -0.9 dBTP")) << logger.getMessages()[0];
}

namespace
{
    /** The oversampled peak in dBTP as juce::dsp::Oversampling measures it: two
        maximum-quality polyphase IIR stages, prepared once and fed 65536-sample
        chunks as one stream, the peak taken from each chunk's minimum and maximum.
    */
    double truePeakThroughJuceOversampling (const juce::AudioBuffer<float>& buffer)
    {
        constexpr int chunkLength = 65536;
        const auto numChannels = (size_t) buffer.getNumChannels();
        juce::dsp::Oversampling<float> oversampler (numChannels, 2, juce::dsp::Oversampling<float>::filterHalfBandPolyphaseIIR,
                                                    true, false);
        oversampler.initProcessing ((size_t) chunkLength);
        float peak = 0.0f;

        for (int start = 0; start < buffer.getNumSamples(); start += chunkLength)
        {
            const auto length = juce::jmin (chunkLength, buffer.getNumSamples() - start);
            const juce::dsp::AudioBlock<const float> chunk (buffer.getArrayOfReadPointers(), numChannels,
                                                            (size_t) start, (size_t) length);
            const auto upsampled = oversampler.processSamplesUp (chunk);
            float chunkPeak = 0.0f;

            for (size_t ch = 0; ch < numChannels; ++ch)
            {
                const auto range = juce::FloatVectorOperations::findMinAndMax (upsampled.getChannelPointer (ch),
                                                                                (int) upsampled.getNumSamples());
                chunkPeak = juce::jmax (chunkPeak, -range.getStart(), range.getEnd());
            }

            peak = juce::jmax (peak, chunkPeak);
        }

        return peak > 1.0e-10f ? 20.0 * std::log10 ((double) peak) : -144.0;
    }

    /** Noise with its own level in each channel. */
    juce::AudioBuffer<float> makeNoiseAtLevels (const std::vector<double>& levels, int numSamples)
    {
        juce::AudioBuffer<float> buffer ((int) levels.size(), numSamples);

        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
            buffer.copyFrom (ch, 0, makeNoise (1, numSamples, levels[(size_t) ch], 20 + ch), 0, 0, numSamples);

        return buffer;
    }
}

TEST (AudioAnalyzerTruePeak, MatchesJuceOversamplingBitForBit)
{
    // 20 log10 puts neighbouring floats far more than a double's resolution apart,
    // so equal readings above the silence floor mean bit-identical peaks.
    constexpr int chunk = 65536;
    struct Case { const char* name; juce::AudioBuffer<float> buffer; };
    std::vector<Case> cases;

    cases.push_back ({ "stereo noise across three chunk boundaries", makeNoise (2, 3 * chunk + 100, 0.5, 11) });
    cases.push_back ({ "full-scale 997 Hz, exactly one chunk", makeSine (1, chunk, 48000.0, 997.0, 1.0) });
    cases.push_back ({ "quarter rate between its samples, odd length",
                       makeSine (1, 1001, 48000.0, 12000.0, 1.0, juce::MathConstants<double>::pi / 4.0) });
    cases.push_back ({ "three channels, loudest last", makeNoiseAtLevels ({ 0.1, 0.2, 0.7 }, chunk + 1) });
    cases.push_back ({ "five channels, loudest last", makeNoiseAtLevels ({ 0.3, 0.1, 0.2, 0.1, 0.6 }, 5000) });

    {
        // Long silence, then a burst in the second chunk that rings into the third.
        auto buffer = makeSilence (2, 2 * chunk + 301);
        buffer.copyFrom (1, 2 * chunk - 100, makeNoise (1, 200, 0.8, 12), 0, 0, 200);
        cases.push_back ({ "silence, then a burst across a chunk boundary", std::move (buffer) });
    }

    // Noise around the 1e-8 level below which the oversampler snaps its filter
    // states to zero, after each chunk and nowhere else; a click reads the states.
    const auto noiseAtSnapThresholdWithClickAt = [] (int clickAt)
    {
        auto buffer = makeNoise (1, clickAt + 64, 1.5e-8, 13);
        buffer.setSample (0, clickAt, 3.0e-7f);
        return buffer;
    };

    cases.push_back ({ "noise at the snap threshold, a click after the chunk boundary",
                       noiseAtSnapThresholdWithClickAt (chunk + 1) });
    cases.push_back ({ "noise at the snap threshold, a click mid-chunk", noiseAtSnapThresholdWithClickAt (chunk / 2 + 1) });

    {
        auto buffer = makeNoise (2, 2 * chunk, 0.5, 14);
        buffer.setSample (1, chunk + 5, std::numeric_limits<float>::quiet_NaN());
        cases.push_back ({ "a NaN in the second chunk", std::move (buffer) });
    }

    {
        auto buffer = makeNoise (1, 3000, 0.5, 15);
        buffer.setSample (0, 10, std::numeric_limits<float>::infinity());
        cases.push_back ({ "an infinite sample", std::move (buffer) });
    }

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        CapturingLogger logger;
        EXPECT_EQ (AudioAnalyzer::calculateTruePeak (c.buffer, 48000.0), truePeakThroughJuceOversampling (c.buffer));
    }
}

//==============================================================================
TEST (AudioAnalyzerVoiceActivity, LastShortBlockIsMeasuredOverItsOwnLength)
{
    // Silence with one loud last sample: the block holding it is the only voiced one.
    struct Case { int numSamples; size_t blocks; const char* snrLine; };
    const Case cases[] = {
        { 480000, 500, "[AudioAnalyzer/SNR] Signal blocks: 1 | Noise blocks: 499 | SNR: 264.2 dB | NoiseFloor: -144.0 dBFS" },
        { 480001, 501, "[AudioAnalyzer/SNR] Signal blocks: 1 | Noise blocks: 500 | SNR: 294.0 dB | NoiseFloor: -144.0 dBFS" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.numSamples);
        auto buffer = makeSilence (1, c.numSamples);
        buffer.setSample (0, c.numSamples - 1, 0.5f);

        CapturingLogger logger;
        const auto flags = AudioAnalyzer::computeVAD (buffer, 48000.0, 960);
        ASSERT_EQ (flags.size(), c.blocks);
        EXPECT_TRUE (flags.back());

        double snr = 0, floor = 0, voiced = 0;
        AudioAnalyzer::calculateSNR (buffer, 48000.0, flags, 960, snr, floor, voiced);
        EXPECT_NEAR (voiced, 100.0 / (double) c.blocks, 1.0e-12);
        EXPECT_EQ (messagesStartingWith (logger, "[AudioAnalyzer/SNR]"), juce::StringArray (c.snrLine));
    }
}

TEST (AudioAnalyzerVoiceActivity, NoiseFloorIsTheTenthPercentileBlock)
{
    // Blocks at 1, 2, 3 ... thousandths, loudest first so that only sorting finds the quiet ones.
    struct Case { int blocks; const char* expected; };
    const Case cases[] = {
        { 9,   "[AudioAnalyzer/VAD] Blocks: 9 | Voiced: 6 | Threshold: 0.003000 | NoiseFloor(P10): 0.001000" },
        { 10,  "[AudioAnalyzer/VAD] Blocks: 10 | Voiced: 4 | Threshold: 0.006000 | NoiseFloor(P10): 0.002000" },
        { 500, "[AudioAnalyzer/VAD] Blocks: 500 | Voiced: 347 | Threshold: 0.153000 | NoiseFloor(P10): 0.051000" },
    };

    for (const auto& c : cases)
    {
        std::vector<float> levels;
        for (int i = c.blocks; i > 0; --i)
            levels.push_back ((float) i / 1000.0f);

        CapturingLogger logger;
        AudioAnalyzer::computeVAD (makeBlocks (levels, 4), 48000.0, 4);
        EXPECT_EQ (logger.getMessages(), juce::StringArray (c.expected));
    }
}

TEST (AudioAnalyzerVoiceActivity, BlockExactlyAtThresholdIsNotVoiced)
{
    CapturingLogger logger;
    const auto flags = AudioAnalyzer::computeVAD (makeBlocks ({ 0.125f, 0.375f, 0.376f, 0.125f }, 8), 48000.0, 8);
    EXPECT_EQ (flags, (std::vector<bool> { false, false, true, false }));
}

TEST (AudioAnalyzerVoiceActivity, SignalToNoiseOutcomes)
{
    // "snr" of a steady signal: no voiced block, so 1e-30 over its own power.
    std::vector<float> pauses (20, 0.1f);
    pauses.resize (50, 0.0f);

    struct Case { const char* name; juce::AudioBuffer<float> buffer; int blockSize; double voiced, floor, snr; };
    std::vector<Case> cases;
    cases.push_back ({ "steady -20 dBFS", makeBlocks (std::vector<float> (50, 0.1f), 100), 100, 0.0, -20.0, -280.0 });
    cases.push_back ({ "shorter than one block", makeBlocks ({ 0.1f }, 50), 100, 0.0, -20.0, -280.0 });
    cases.push_back ({ "pauses of digital silence", makeBlocks (pauses, 100), 100, 40.0, -144.0, 280.0 });
    cases.push_back ({ "digital silence", makeSilence (2, 5000), 100, 0.0, -144.0, 0.0 });

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        CapturingLogger logger;
        const auto flags = AudioAnalyzer::computeVAD (c.buffer, 48000.0, c.blockSize);
        double snr = 1, floor = 1, voiced = 1;
        AudioAnalyzer::calculateSNR (c.buffer, 48000.0, flags, c.blockSize, snr, floor, voiced);
        EXPECT_NEAR (voiced, c.voiced, 1.0e-9);
        EXPECT_NEAR (floor, c.floor, 1.0e-5);
        EXPECT_NEAR (snr, c.snr, 1.0e-5);
    }
}

TEST (AudioAnalyzerVoiceActivity, SignalToNoiseFromGivenFlags)
{
    const auto buffer = makeBlocks (std::vector<float> (500, 0.1f), 10);

    struct Case { const char* name; std::vector<bool> flags; double voiced, floor, snr; const char* line; };
    std::vector<bool> some (500, false);
    std::fill (some.begin(), some.begin() + 123, true);

    const Case cases[] = {
        { "all voiced", std::vector<bool> (500, true), 100.0, -144.0, 280.0,
          "[AudioAnalyzer/SNR] Signal blocks: 500 | Noise blocks: 0 | SNR: 280.0 dB | NoiseFloor: -144.0 dBFS" },
        { "123 of 500", some, 24.6, -20.0, 0.0,
          "[AudioAnalyzer/SNR] Signal blocks: 123 | Noise blocks: 377 | SNR: 0.0 dB | NoiseFloor: -20.0 dBFS" },
        { "no flags", {}, 0.0, -144.0, 0.0,
          "[AudioAnalyzer/SNR] Signal blocks: 0 | Noise blocks: 0 | SNR: 0.0 dB | NoiseFloor: -144.0 dBFS" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        CapturingLogger logger;
        double snr = 1, floor = 1, voiced = 1;
        AudioAnalyzer::calculateSNR (buffer, 48000.0, c.flags, 10, snr, floor, voiced);
        EXPECT_NEAR (voiced, c.voiced, 1.0e-12);
        EXPECT_NEAR (floor, c.floor, 1.0e-5);
        EXPECT_NEAR (snr, c.snr, 1.0e-5);
        EXPECT_EQ (logger.getMessages(), juce::StringArray (c.line));
    }
}

//==============================================================================
TEST (AudioAnalyzerSpectrum, TiltFrameAndBand)
{
    // An empty band: the recording is too short, or the rate leaves under 12 bins.
    struct Case { double rate; int numSamples; const char* bins; };
    const Case cases[] = {
        { 48000.0, 255,   nullptr },
        { 48000.0, 256,   "1-64" },
        { 48000.0, 511,   "1-64" },
        { 48000.0, 512,   "1-128" },
        { 16000.0, 8192,  "51-2048" },
        { 22050.0, 8192,  "37-2048" },
        { 44100.0, 8192,  "18-2048" },
        { 48000.0, 20000, "17-2048" },
        { 96000.0, 8192,  "8-2048" },
        { 400.0,   8192,  nullptr },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.rate) + " Hz, " + juce::String (c.numSamples) + " samples");
        CapturingLogger logger;
        const auto slope = AudioAnalyzer::calculateSpectralTilt (makeNoise (1, c.numSamples, 0.5), c.rate);
        const auto lines = logger.getMessages();

        if (c.bins == nullptr)
        {
            EXPECT_EQ (slope, 0.0);
            EXPECT_TRUE (lines.isEmpty());
            continue;
        }

        ASSERT_EQ (lines.size(), 1);
        EXPECT_TRUE (lines[0].startsWith ("[AudioAnalyzer/SpectralTilt] Slope: "));
        EXPECT_TRUE (lines[0].endsWith (juce::String (" | Bins analyzed: ") + c.bins)) << lines[0];
    }
}

TEST (AudioAnalyzerSpectrum, TiltOfColouredNoise)
{
    auto antiphase = makeNoise (2, 8192, 0.5);
    juce::FloatVectorOperations::negate (antiphase.getWritePointer (1), antiphase.getReadPointer (0), 8192);

    struct Case { const char* name; juce::AudioBuffer<float> buffer; double low, high; const char* profile; };
    std::vector<Case> cases;
    cases.push_back ({ "white", makeNoise (1, 8192, 0.5), -0.5, 0.5, "Balanced" });
    cases.push_back ({ "integrated", makeColouredNoise (8192, true), -7.0, -4.5, "Very Dark/Muddy" });
    cases.push_back ({ "differenced", makeColouredNoise (8192, false), 4.5, 7.0, "Bright/Thin" });
    cases.push_back ({ "antiphase channels cancel", antiphase, -1.0e-9, 1.0e-9, "Balanced" });

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        CapturingLogger logger;
        const auto slope = AudioAnalyzer::calculateSpectralTilt (c.buffer, 48000.0);
        EXPECT_GT (slope, c.low);
        EXPECT_LT (slope, c.high);
        EXPECT_TRUE (logger.getMessages()[0].contains (juce::String (" dB/octave | Profile: ") + c.profile + " | "))
            << logger.getMessages()[0];
    }
}

TEST (AudioAnalyzerSpectrum, OnlyTheStartOfTheRecordingCounts)
{
    CapturingLogger logger;
    const auto start = makeNoise (1, 16384, 0.1, 11);
    const auto hum = makeSine (1, 48000, 48000.0, 50.0, 0.5);
    const auto later = concatenate (start, hum);

    EXPECT_EQ (AudioAnalyzer::calculateSpectralTilt (later, 48000.0), AudioAnalyzer::calculateSpectralTilt (start, 48000.0));
    EXPECT_FALSE (AudioAnalyzer::detectGridHum (later, 48000.0));
    EXPECT_TRUE (AudioAnalyzer::detectGridHum (concatenate (hum, start), 48000.0));
}

TEST (AudioAnalyzerSpectrum, ProfileBoundaries)
{
    const std::pair<double, const char*> cases[] = {
        { -3.0001, "Very Dark/Muddy" }, { -3.0, "Slightly Dark" }, { -1.0001, "Slightly Dark" },
        { -1.0, "Balanced" }, { 0.0, "Balanced" }, { 0.9999, "Balanced" }, { 1.0, "Bright/Thin" },
    };

    for (const auto& [slope, profile] : cases)
        EXPECT_EQ (AudioAnalyzer::tiltProfile (slope), profile) << slope;
}

TEST (AudioAnalyzerSpectrum, GridHumDetection)
{
    const auto withTones = [] (double rate, int numSamples, std::vector<std::pair<double, double>> tones)
    {
        auto buffer = makeNoise (1, numSamples, 0.01, 21);
        for (const auto& [frequency, amplitude] : tones)
            buffer.addFrom (0, 0, makeSine (1, numSamples, rate, frequency, amplitude), 0, 0, numSamples);
        return buffer;
    };

    const std::vector<std::pair<double, double>> mains50 { { 50.0, 0.05 }, { 100.0, 0.03 }, { 150.0, 0.02 } };
    const std::vector<std::pair<double, double>> mains60 { { 60.0, 0.05 }, { 120.0, 0.03 }, { 180.0, 0.02 } };

    struct Case { const char* name; juce::AudioBuffer<float> buffer; double rate; bool expected; };
    std::vector<Case> cases;
    cases.push_back ({ "50 Hz family", withTones (48000.0, 48000, mains50), 48000.0, true });
    cases.push_back ({ "50 Hz family at 44.1 kHz", withTones (44100.0, 44100, mains50), 44100.0, true });
    cases.push_back ({ "50 Hz family at 16 kHz", withTones (16000.0, 16384, mains50), 16000.0, true });
    cases.push_back ({ "60 Hz family", withTones (48000.0, 48000, mains60), 48000.0, false });
    cases.push_back ({ "harmonics without fundamental", withTones (48000.0, 48000, { { 100.0, 0.03 }, { 150.0, 0.02 } }), 48000.0, true });
    cases.push_back ({ "100 Hz alone", withTones (48000.0, 48000, { { 100.0, 0.03 } }), 48000.0, false });
    cases.push_back ({ "150 Hz alone", withTones (48000.0, 48000, { { 150.0, 0.02 } }), 48000.0, false });
    cases.push_back ({ "noise alone", withTones (48000.0, 48000, {}), 48000.0, false });
    cases.push_back ({ "4095 samples", withTones (48000.0, 4095, mains50), 48000.0, false });
    cases.push_back ({ "4096 samples", withTones (48000.0, 4096, mains50), 48000.0, true });
    cases.push_back ({ "digital silence", makeSilence (2, 48000), 48000.0, false });
    // Bins of 23.4 Hz leave no neighbour beside the peak: -120 dB stands in, so noise reads as hum.
    cases.push_back ({ "no neighbourhood at 96 kHz, 4096 samples", withTones (96000.0, 4096, {}), 96000.0, true });

    CapturingLogger logger;

    for (const auto& c : cases)
        EXPECT_EQ (AudioAnalyzer::detectGridHum (c.buffer, c.rate), c.expected) << c.name;

    EXPECT_TRUE (logger.getMessages().isEmpty());
}

//==============================================================================
TEST (AudioAnalyzerSibilance, RateThreshold)
{
    struct Case { double rate; bool measured; };
    const Case cases[] = { { 16000.0, false }, { 16999.0, false }, { 17000.0, true }, { 48000.0, true } };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.rate);
        CapturingLogger logger;
        double rms = 1.0, dbfs = 1.0;
        AudioAnalyzer::calculateSibilanceEnergy (makeSine (1, 4800, c.rate, 6500.0, 0.5), c.rate, rms, dbfs);
        const auto lines = logger.getMessages();
        ASSERT_EQ (lines.size(), 1);

        if (c.measured)
        {
            EXPECT_TRUE (lines[0].startsWith ("[AudioAnalyzer/Sibilance] 5-8kHz RMS: "));
            EXPECT_GT (dbfs, -20.0);
        }
        else
        {
            EXPECT_EQ (lines[0], "[AudioAnalyzer/Sibilance] Sample rate too low for 5-8kHz analysis");
            EXPECT_EQ (rms, 0.0);
            EXPECT_EQ (dbfs, -144.0);
        }
    }
}

TEST (AudioAnalyzerSibilance, BandLevels)
{
    struct Case { const char* name; juce::AudioBuffer<float> buffer; double low, high; };
    std::vector<Case> cases;
    const double sineRmsDB = 20.0 * std::log10 (0.5 / std::sqrt (2.0));
    cases.push_back ({ "6.5 kHz in band", makeSine (1, 48000, 48000.0, 6500.0, 0.5), sineRmsDB - 3.5, sineRmsDB });
    cases.push_back ({ "500 Hz below band", makeSine (1, 48000, 48000.0, 500.0, 0.5), -200.0, sineRmsDB - 40.0 });
    cases.push_back ({ "16 kHz above band", makeSine (1, 48000, 48000.0, 16000.0, 0.5), -200.0, sineRmsDB - 12.0 });

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        CapturingLogger logger;
        double rms = 0, dbfs = 0;
        AudioAnalyzer::calculateSibilanceEnergy (c.buffer, 48000.0, rms, dbfs);
        EXPECT_GT (dbfs, c.low);
        EXPECT_LT (dbfs, c.high);
        EXPECT_NEAR (dbfs, 20.0 * std::log10 (rms), 1.0e-9);
    }

    CapturingLogger logger;
    double rms = 1, dbfs = 1;
    AudioAnalyzer::calculateSibilanceEnergy (makeSilence (1, 4800), 48000.0, rms, dbfs);
    EXPECT_EQ (logger.getMessages(), juce::StringArray ("[AudioAnalyzer/Sibilance] 5-8kHz RMS: 0.000000 | -144.0 dBFS"));
}

TEST (AudioAnalyzerSibilance, ChannelsShareOneSumAndNoFilterState)
{
    // A silent second channel adds no band energy (the filters restart) but
    // doubles the count: 3 dB less sibilance, 3 dB more crest.
    const auto mono = makeSine (1, 48000, 48000.0, 6500.0, 0.5);
    juce::AudioBuffer<float> stereo (2, 48000);
    stereo.clear();
    stereo.copyFrom (0, 0, mono, 0, 0, 48000);

    CapturingLogger logger;
    double monoRms = 0, monoDB = 0, stereoRms = 0, stereoDB = 0;
    AudioAnalyzer::calculateSibilanceEnergy (mono, 48000.0, monoRms, monoDB);
    AudioAnalyzer::calculateSibilanceEnergy (stereo, 48000.0, stereoRms, stereoDB);

    EXPECT_NEAR (stereoRms * std::sqrt (2.0), monoRms, monoRms * 1.0e-12);
    EXPECT_NEAR (AudioAnalyzer::calculateCrestFactor (stereo) - AudioAnalyzer::calculateCrestFactor (mono),
                 10.0 * std::log10 (2.0), 1.0e-9);
}

TEST (AudioAnalyzerCrestFactor, KnownSignals)
{
    auto square = makeSilence (1, 48000);
    for (int i = 0; i < 48000; ++i)
        square.setSample (0, i, (i / 48) % 2 == 0 ? 1.0f : -1.0f);

    auto click = makeSilence (1, 1000);
    click.setSample (0, 500, -1.0f);

    struct Case { const char* name; juce::AudioBuffer<float> buffer; double expected; const char* line; };
    std::vector<Case> cases;
    cases.push_back ({ "square", square, 0.0,
                       "[AudioAnalyzer/CrestFactor] Peak: 1.000000 | RMS: 1.000000 | Crest: 0.0 dB | Heavily Compressed" });
    cases.push_back ({ "sine", makeSine (1, 48000, 48000.0, 1000.0, 1.0), 10.0 * std::log10 (2.0),
                       "[AudioAnalyzer/CrestFactor] Peak: 1.000000 | RMS: 0.707107 | Crest: 3.0 dB | Heavily Compressed" });
    cases.push_back ({ "one click in 1000 samples", click, 30.0,
                       "[AudioAnalyzer/CrestFactor] Peak: 1.000000 | RMS: 0.031623 | Crest: 30.0 dB | Wide Dynamic Range" });
    cases.push_back ({ "digital silence", makeSilence (2, 4800), 0.0,
                       "[AudioAnalyzer/CrestFactor] Peak: 0.000000 | RMS: 0.000000 | Crest: 0.0 dB | Heavily Compressed" });
    cases.push_back ({ "empty", makeSilence (1, 0), 0.0,
                       "[AudioAnalyzer/CrestFactor] Peak: 0.000000 | RMS: 0.000000 | Crest: 0.0 dB | Heavily Compressed" });

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        CapturingLogger logger;
        EXPECT_NEAR (AudioAnalyzer::calculateCrestFactor (c.buffer), c.expected, 1.0e-4);
        EXPECT_EQ (logger.getMessages(), juce::StringArray (c.line));
    }
}

TEST (AudioAnalyzerCrestFactor, ClassBoundaries)
{
    const std::pair<double, const char*> cases[] = {
        { 0.0, "Heavily Compressed" }, { 5.999, "Heavily Compressed" }, { 6.0, "Well-Compressed" },
        { 11.999, "Well-Compressed" }, { 12.0, "Moderate Dynamic Range" }, { 17.999, "Moderate Dynamic Range" },
        { 18.0, "Wide Dynamic Range" },
    };

    for (const auto& [crest, name] : cases)
        EXPECT_EQ (AudioAnalyzer::dynamicsClass (crest), name) << crest;
}

//==============================================================================
TEST (AudioAnalyzerReport, TextAndJsonOfARecord)
{
    AudioAnalyzer::AnalysisResult r;
    r.integratedLUFS = -23.04;
    r.truePeakDBTP = -1.26;
    r.snrDB = 42.349;
    r.noiseFloorDBFS = -61.15;
    r.voicedPercent = 24.6;
    r.spectralTiltDB = -2.3456;
    r.sibilanceRMS = 0.0123456;
    r.sibilanceDBFS = -38.17;
    r.crestFactorDB = 14.25;
    r.sampleRate = 48000.0;
    r.numChannels = 2;
    r.numSamples = 96000;
    r.durationSeconds = 2.0;
    r.hasGridHum = true;

    EXPECT_EQ (r.toString(), utf8 ("[AudioAnalyzer] ──── Pass 1 Results ────\n"
                                   "  Duration:       2.00s (2ch, 48000Hz)\n"
                                   "  LUFS:           -23.0 LUFS\n"
                                   "  True Peak:      -1.3 dBTP\n"
                                   "  SNR:            42.3 dB\n"
                                   "  Noise Floor:    -61.1 dBFS\n"
                                   "  Voiced:         24.6%\n"
                                   "  Spectral Tilt:  -2.35 dB/oct\n"
                                   "  Sibilance:      -38.2 dBFS (RMS=0.012346)\n"
                                   "  Crest Factor:   14.2 dB\n"
                                   "  Grid Hum:       DETECTED\n"
                                   "[AudioAnalyzer] ──────────────────────────"));
    EXPECT_EQ (r.toJSON(), "{\"integratedLUFS\":-23.04,\"truePeakDBTP\":-1.26,\"snrDB\":42.35,\"noiseFloorDBFS\":-61.15,"
                           "\"voicedPercent\":24.60,\"spectralTiltDB\":-2.346,\"sibilanceRMS\":0.012346,"
                           "\"sibilanceDBFS\":-38.17,\"crestFactorDB\":14.25,\"sampleRate\":48000,\"numChannels\":2,"
                           "\"durationSeconds\":2.000,\"hasGridHum\":true}");

    r.sampleRate = 47999.5;
    r.hasGridHum = false;
    EXPECT_TRUE (r.toString().contains ("s (2ch, 47999.5Hz)\n"));
    EXPECT_TRUE (r.toString().contains ("\n  Grid Hum:       None\n"));
    EXPECT_TRUE (r.toJSON().contains (",\"sampleRate\":47999.5,"));
    EXPECT_TRUE (r.toJSON().endsWith (",\"hasGridHum\":false}"));
}

TEST (AudioAnalyzerReport, WholeLogOfAShortSilentRecordingAt16k)
{
    CapturingLogger logger;
    const auto result = AudioAnalyzer::analyze (makeSilence (1, 160), 16000.0);

    const auto rule = juce::String::repeatedString (utf8 ("═"), 40);
    juce::StringArray expected;
    expected.add (rule);
    expected.add (utf8 ("[AudioAnalyzer] Pass 1 — Offline Analysis"));
    expected.add ("[AudioAnalyzer] 1ch, 16000Hz, 0.01s (160 samples)");
    expected.add ("[AudioAnalyzer/TruePeak] Peak: 0.000000 | -144.0 dBTP");
    expected.add ("[AudioAnalyzer/VAD] Blocks: 1 | Voiced: 0 | Threshold: 0.000000 | NoiseFloor(P10): 0.000000");
    expected.add ("[AudioAnalyzer/SNR] Signal blocks: 0 | Noise blocks: 1 | SNR: 0.0 dB | NoiseFloor: -144.0 dBFS");
    expected.add ("[AudioAnalyzer/Sibilance] Sample rate too low for 5-8kHz analysis");
    expected.add ("[AudioAnalyzer/CrestFactor] Peak: 0.000000 | RMS: 0.000000 | Crest: 0.0 dB | Heavily Compressed");
    expected.add (utf8 ("[AudioAnalyzer] ──── Pass 1 Results ────\n"
                        "  Duration:       0.01s (1ch, 16000Hz)\n"
                        "  LUFS:           -144.0 LUFS\n"
                        "  True Peak:      -144.0 dBTP\n"
                        "  SNR:            0.0 dB\n"
                        "  Noise Floor:    -144.0 dBFS\n"
                        "  Voiced:         0.0%\n"
                        "  Spectral Tilt:  0.00 dB/oct\n"
                        "  Sibilance:      -144.0 dBFS (RMS=0.000000)\n"
                        "  Crest Factor:   0.0 dB\n"
                        "  Grid Hum:       None\n"
                        "[AudioAnalyzer] ──────────────────────────"));
    expected.add (rule);

    EXPECT_EQ (logger.getMessages(), expected);
    EXPECT_EQ (result.toJSON(), "{\"integratedLUFS\":-144.00,\"truePeakDBTP\":-144.00,\"snrDB\":0.00,\"noiseFloorDBFS\":-144.00,"
                                "\"voicedPercent\":0.00,\"spectralTiltDB\":0.000,\"sibilanceRMS\":0.000000,"
                                "\"sibilanceDBFS\":-144.00,\"crestFactorDB\":0.00,\"sampleRate\":16000,\"numChannels\":1,"
                                "\"durationSeconds\":0.010,\"hasGridHum\":false}");
    EXPECT_EQ (result.numSamples, 160);
}

TEST (AudioAnalyzerPass, MeasuresInOrderOnTheRightBuffers)
{
    auto buffer = makeNoise (2, 48000, 0.05, 9);
    buffer.addFrom (0, 0, makeSine (1, 48000, 48000.0, 440.0, 0.4), 0, 0, 48000);

    CapturingLogger logger;
    const auto result = AudioAnalyzer::analyze (buffer, 48000.0);
    const auto lines = logger.getMessages();

    const char* prefixes[] = { "", "[AudioAnalyzer] Pass 1 ", "[AudioAnalyzer] 2ch, 48000Hz, 1.00s (48000 samples)",
                               "[AudioAnalyzer/LUFS] ", "[AudioAnalyzer/TruePeak] ", "[AudioAnalyzer/VAD] ",
                               "[AudioAnalyzer/SNR] ", "[AudioAnalyzer/SpectralTilt] ", "[AudioAnalyzer/Sibilance] ",
                               "[AudioAnalyzer/CrestFactor] ", "[AudioAnalyzer] ", "" };
    ASSERT_EQ (lines.size(), (int) std::size (prefixes));

    for (int i = 0; i < lines.size(); ++i)
        EXPECT_TRUE (lines[i].startsWith (prefixes[i])) << lines[i];

    EXPECT_EQ (lines[0], juce::String::repeatedString (utf8 ("═"), 40));
    EXPECT_EQ (lines[11], lines[0]);
    EXPECT_EQ (lines[10], result.toString());

    // Only the loudness sees the K-weighted signal.
    logger.clear();
    EXPECT_EQ (result.integratedLUFS, weightedLoudness (buffer, 48000.0));
    EXPECT_EQ (result.truePeakDBTP, AudioAnalyzer::calculateTruePeak (buffer, 48000.0));
    EXPECT_EQ (result.crestFactorDB, AudioAnalyzer::calculateCrestFactor (buffer));
    EXPECT_EQ (result.spectralTiltDB, AudioAnalyzer::calculateSpectralTilt (buffer, 48000.0));

    double sibRms = 0, sibDB = 0;
    AudioAnalyzer::calculateSibilanceEnergy (buffer, 48000.0, sibRms, sibDB);
    EXPECT_EQ (result.sibilanceDBFS, sibDB);
    EXPECT_EQ (result.durationSeconds, 1.0);
}

TEST (AudioAnalyzerPass, BlockSizeFollowsTheRate)
{
    struct Case { double rate; int numSamples; const char* formatLine; const char* blocks; };
    const Case cases[] = {
        { 11025.0, 11025, "[AudioAnalyzer] 1ch, 11025Hz, 1.00s (11025 samples)",  "[AudioAnalyzer/VAD] Blocks: 51 " },
        { 47999.5, 4800,  "[AudioAnalyzer] 1ch, 47999.5Hz, 0.10s (4800 samples)", "[AudioAnalyzer/VAD] Blocks: 6 " },  // 959 samples
        { 50.0,    100,   "[AudioAnalyzer] 1ch, 50Hz, 2.00s (100 samples)",       "[AudioAnalyzer/VAD] Blocks: 100 " },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.formatLine);
        CapturingLogger logger;
        const auto result = AudioAnalyzer::analyze (makeNoise (1, c.numSamples, 0.3), c.rate);
        EXPECT_TRUE (logger.contains (c.formatLine));
        EXPECT_EQ (messagesStartingWith (logger, c.blocks).size(), 1);

        for (auto value : { result.integratedLUFS, result.truePeakDBTP, result.snrDB, result.noiseFloorDBFS,
                            result.spectralTiltDB, result.sibilanceDBFS, result.crestFactorDB })
            EXPECT_TRUE (std::isfinite (value));
    }
}

TEST (AudioAnalyzerPass, InputWithNothingToMeasureGivesDefaults)
{
    struct Case { const char* name; int channels, numSamples; double rate; double duration; };
    const Case cases[] = {
        { "no channel, no sample", 0, 0, 48000.0, 0.0 },
        { "no sample",             2, 0, 48000.0, 0.0 },
        { "no channel",            0, 480, 48000.0, 0.01 },
        { "rate below 50 Hz",      1, 1000, 40.0, 25.0 },
        { "rate below 10 Hz",      1, 1000, 5.0, 200.0 },
        { "rate of 0 Hz",          1, 1000, 0.0, 0.0 },
        { "rate not a number",     1, 1000, std::nan (""), 0.0 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        CapturingLogger logger;
        auto buffer = makeNoise (c.channels, c.numSamples, 0.5);
        const auto result = AudioAnalyzer::analyze (buffer, c.rate);

        AudioAnalyzer::AnalysisResult defaults;
        defaults.sampleRate = result.sampleRate;
        defaults.numChannels = c.channels;
        defaults.numSamples = c.numSamples;
        defaults.durationSeconds = c.duration;
        EXPECT_EQ (result.toString(), defaults.toString());
        EXPECT_EQ (result.numSamples, c.numSamples);
        EXPECT_EQ (result.durationSeconds, c.duration);
        EXPECT_EQ (logger.getMessages().size(), 6);
        EXPECT_EQ (messagesStartingWith (logger, "[AudioAnalyzer] WARNING: Nothing to measure").size(), 1);
    }
}

TEST (AudioAnalyzerPass, MeasurementsAreSafeOnDegenerateInput)
{
    // Called directly, outside the pass's limits: defined values, no division by zero, no endless walk.
    CapturingLogger logger;
    const juce::AudioBuffer<float> noChannels (0, 480);
    const auto empty = makeSilence (1, 0);
    const auto noise = makeNoise (1, 20000, 0.5);

    for (auto* buffer : { &noChannels, &empty })
    {
        EXPECT_TRUE (AudioAnalyzer::computeVAD (*buffer, 48000.0, 960).empty());
        EXPECT_EQ (AudioAnalyzer::calculateIntegratedLUFS (*buffer, 48000.0), -144.0);
        EXPECT_EQ (AudioAnalyzer::calculateSpectralTilt (*buffer, 48000.0), 0.0);
        EXPECT_FALSE (AudioAnalyzer::detectGridHum (*buffer, 48000.0));
        EXPECT_EQ (AudioAnalyzer::calculateCrestFactor (*buffer), 0.0);
    }

    EXPECT_TRUE (AudioAnalyzer::computeVAD (noise, 48000.0, 0).empty());
    EXPECT_EQ (AudioAnalyzer::calculateSpectralTilt (noise, 0.0), 0.0);
    EXPECT_FALSE (AudioAnalyzer::detectGridHum (noise, 0.0));
    EXPECT_EQ (AudioAnalyzer::calculateIntegratedLUFS (noise, std::nan ("")), -144.0);

    // Flags that do not match the recording are read no further than its last sample.
    double snr = 0, floor = 0, voiced = 0;
    AudioAnalyzer::calculateSNR (makeSilence (1, 100), 48000.0, std::vector<bool> (50, true), 10, snr, floor, voiced);
    EXPECT_EQ (voiced, 100.0);
    EXPECT_TRUE (logger.contains ("[AudioAnalyzer/VAD] Blocks: 0 | Voiced: 0 | Threshold: 0.000000 | NoiseFloor(P10): 0.000000"));
}
