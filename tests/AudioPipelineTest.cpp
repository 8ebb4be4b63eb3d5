// The voice-processing stages are tested by what they do to generated signals:
// filter responses are measured with steady sine tones, dynamics by the level of
// tones and bursts before and after, and every stage's log line is compared exactly.

#include <gtest/gtest.h>

#include "AudioPipeline.h"
#include "TestSupport.h"

#include <complex>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

using testing_support::CapturingLogger;

namespace
{
    using Coefficients = juce::dsp::IIR::Coefficients<float>;
    constexpr double twoPi = juce::MathConstants<double>::twoPi;

    //==============================================================================
    /** One channel per frequency, each a sine of the given peak amplitude. */
    juce::AudioBuffer<float> makeTones (double sampleRate, const std::vector<double>& frequencies,
                                        double amplitude, int numSamples)
    {
        juce::AudioBuffer<float> buffer ((int) frequencies.size(), numSamples);

        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
            for (int i = 0; i < numSamples; ++i)
                buffer.setSample (ch, i, (float) (amplitude * std::sin (twoPi * frequencies[(size_t) ch] * i / sampleRate)));

        return buffer;
    }

    /** The complex amplitude of one frequency in [start, start + length), by projection.
        Over a whole number of cycles this is exact for a steady tone.
    */
    std::complex<double> toneAt (const juce::AudioBuffer<float>& buffer, int channel, double frequency,
                                 double sampleRate, int start, int length)
    {
        std::complex<double> sum;
        const auto* samples = buffer.getReadPointer (channel);

        for (int i = start; i < start + length; ++i)
            sum += (double) samples[i] * std::polar (1.0, -twoPi * frequency * i / sampleRate);

        return sum * (2.0 / length);
    }

    double toDB (double gain)    { return 20.0 * std::log10 (gain); }

    /** Steady-state gain in dB of each channel's tone: the last second of a 1.5 s buffer, so
        every section's transient has died away and integer frequencies fill whole cycles.
    */
    struct ToneResponse
    {
        explicit ToneResponse (double rate, std::vector<double> freqs, double amplitude = 0.1)
            : sampleRate (rate), frequencies (std::move (freqs)),
              input (makeTones (rate, frequencies, amplitude, (int) (1.5 * rate)))
        {}

        juce::AudioBuffer<float> makeInput() const    { return input; }

        double gainDB (const juce::AudioBuffer<float>& output, int channel) const
        {
            return toDB (std::abs (measure (output, channel)) / std::abs (measure (input, channel)));
        }

        /** Output phase relative to the input, in radians. */
        double phase (const juce::AudioBuffer<float>& output, int channel) const
        {
            return std::arg (measure (output, channel) / measure (input, channel));
        }

        double sampleRate;
        std::vector<double> frequencies;
        juce::AudioBuffer<float> input;

    private:
        std::complex<double> measure (const juce::AudioBuffer<float>& buffer, int channel) const
        {
            const auto window = (int) sampleRate;
            return toneAt (buffer, channel, frequencies[(size_t) channel], sampleRate,
                           buffer.getNumSamples() - window, window);
        }
    };

    bool sameSamples (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
    {
        if (a.getNumChannels() != b.getNumChannels() || a.getNumSamples() != b.getNumSamples())
            return false;

        for (int ch = 0; ch < a.getNumChannels(); ++ch)
            if (std::memcmp (a.getReadPointer (ch), b.getReadPointer (ch), sizeof (float) * (size_t) a.getNumSamples()) != 0)
                return false;

        return true;
    }

    bool sameChannel (const juce::AudioBuffer<float>& a, int channelA, const juce::AudioBuffer<float>& b, int channelB)
    {
        return a.getNumSamples() == b.getNumSamples()
            && std::memcmp (a.getReadPointer (channelA), b.getReadPointer (channelB), sizeof (float) * (size_t) a.getNumSamples()) == 0;
    }

    juce::AudioBuffer<float> channelOf (const juce::AudioBuffer<float>& buffer, int channel)
    {
        juce::AudioBuffer<float> mono (1, buffer.getNumSamples());
        mono.copyFrom (0, 0, buffer, channel, 0, buffer.getNumSamples());
        return mono;
    }

    /** Adds a sine burst to one channel over [start, start + length). */
    void addBurst (juce::AudioBuffer<float>& buffer, int channel, double sampleRate, double frequency,
                   double amplitude, int start, int length)
    {
        for (int i = start; i < start + length; ++i)
            buffer.addSample (channel, i, (float) (amplitude * std::sin (twoPi * frequency * i / sampleRate)));
    }

    /** Runs a stage with the log captured and returns its lines. */
    juce::StringArray logOf (const std::function<void()>& stage)
    {
        CapturingLogger logger;
        stage();
        return logger.getMessages();
    }

    //==============================================================================
    // The sections the vocal EQ should apply, for an analytic reference response.
    struct Section
    {
        enum class Kind { highPass, peak, highShelf, lowPass, notch } kind;
        float frequency, q, gainDB;

        Coefficients::Ptr makeCoefficients (double sampleRate) const
        {
            const auto factor = juce::Decibels::decibelsToGain (gainDB);

            switch (kind)
            {
                case Kind::highPass:  return Coefficients::makeHighPass (sampleRate, frequency, q);
                case Kind::peak:      return Coefficients::makePeakFilter (sampleRate, frequency, q, factor);
                case Kind::highShelf: return Coefficients::makeHighShelf (sampleRate, frequency, q, factor);
                case Kind::lowPass:   return Coefficients::makeLowPass (sampleRate, frequency, q);
                case Kind::notch:     return Coefficients::makeNotch (sampleRate, frequency, q);
            }

            return {};
        }
    };

    double cascadeGainDB (const std::vector<Section>& sections, double frequency, double sampleRate)
    {
        double gain = 1.0;

        for (const auto& s : sections)
            gain *= s.makeCoefficients (sampleRate)->getMagnitudeForFrequency (frequency, sampleRate);

        return toDB (gain);
    }

    /** The sections run one after another through JUCE's own filter, each channel from rest. */
    void runOneByOne (juce::AudioBuffer<float>& buffer, const std::vector<Section>& sections, double sampleRate)
    {
        for (const auto& s : sections)
        {
            for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
            {
                juce::dsp::IIR::Filter<float> filter (s.makeCoefficients (sampleRate));
                auto block = juce::dsp::AudioBlock<float> (buffer).getSingleChannelBlock ((size_t) ch);
                filter.process (juce::dsp::ProcessContextReplacing<float> (block));
            }
        }
    }
}

//==============================================================================
// Pre-filter

TEST (AudioPipelinePreFilter, HighPassAt90HzAndHumNotchesOnlyWithHum)
{
    const ToneResponse tones (48000.0, { 50.0, 90.0, 100.0, 150.0, 1000.0 });
    enum { at50, at90, at100, at150, at1k };

    auto plain = tones.makeInput();
    const auto plainLog = logOf ([&] { AudioPipeline::applyPreFilter (plain, tones.sampleRate, false); });

    EXPECT_NEAR (tones.gainDB (plain, at90), -3.0, 0.1);
    EXPECT_NEAR (tones.gainDB (plain, at50), -10.6, 0.1);   // second order below the corner
    EXPECT_GT (tones.gainDB (plain, at100), -2.5);
    EXPECT_GT (tones.gainDB (plain, at150), -1.0);
    EXPECT_NEAR (tones.gainDB (plain, at1k), 0.0, 0.01);
    EXPECT_EQ (plainLog, juce::StringArray ("[AudioPipeline/PreFilter] Applied HPF at 90Hz"));

    auto hum = tones.makeInput();
    const auto humLog = logOf ([&] { AudioPipeline::applyPreFilter (hum, tones.sampleRate, true); });

    for (auto channel : { at50, at100, at150 })
        EXPECT_LT (tones.gainDB (hum, channel), -40.0) << tones.frequencies[(size_t) channel] << " Hz";

    EXPECT_NEAR (tones.gainDB (hum, at1k), 0.0, 0.01);
    EXPECT_EQ (humLog, juce::StringArray ("[AudioPipeline/PreFilter] Applied HPF at 90Hz",
                                          "[AudioPipeline/PreFilter] Applied 50/100/150Hz Grid Hum Eradication (Gated)"));
}

//==============================================================================
// Vocal EQ

// The measured response must be that of the six sections at their corners, with the
// upper corners pulled down to 0.45 x the rate where they would come too near Nyquist.
TEST (AudioPipelineVocalEQ, ResponseMatchesTheSectionsWithCornersLimitedByTheRate)
{
    struct Case { double rate; const char* voice; float highPass, presence, air, lowPass; };
    const Case cases[] {
        { 48000.0, "Male",  80.0f,  4500.0f, 10000.0f,  16000.0f },
        { 48000.0, "",      120.0f, 4500.0f, 10000.0f,  17000.0f },
        { 44100.0, "Male",  80.0f,  4500.0f, 10000.0f,  16000.0f },
        { 32000.0, "Male",  80.0f,  4500.0f, 10000.0f,  14400.0f },
        { 32000.0, "Child", 120.0f, 4500.0f, 10000.0f,  14400.0f },
        { 24000.0, "Male",  80.0f,  4500.0f, 10000.0f,  10800.0f },
        { 22050.0, "Male",  80.0f,  4500.0f, 9922.5f,   9922.5f },
        { 16000.0, "Male",  80.0f,  4500.0f, 7200.0f,   7200.0f },
        { 11025.0, "Male",  80.0f,  4500.0f, 4961.25f,  4961.25f },
        { 8000.0,  "Male",  80.0f,  3600.0f, 3600.0f,   3600.0f },
    };
    constexpr float airDB = 4.0f, presenceDB = 3.0f, mudCutDB = -3.0f;

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.rate) + " Hz, voice \"" + c.voice + "\"");

        std::vector<double> probes;
        for (double f : { 40.0, 80.0, 120.0, 150.0, 300.0, 1000.0, 2500.0, 3300.0, 4500.0, 7000.0, 9000.0, 10000.0, 13000.0, 15000.0, 17000.0, 20000.0 })
            if (f < 0.45 * c.rate)
                probes.push_back (f);

        const ToneResponse tones (c.rate, probes);
        auto buffer = tones.makeInput();
        const auto log = logOf ([&] { AudioPipeline::applyVocalEQ (buffer, c.rate, c.voice, airDB, presenceDB, mudCutDB); });

        using K = Section::Kind;
        const std::vector<Section> expected {
            { K::highPass,  c.highPass, 0.707f, 0.0f },
            { K::peak,      150.0f,     0.4f,   3.5f },
            { K::peak,      300.0f,     1.0f,   mudCutDB },
            { K::peak,      c.presence, 1.0f,   presenceDB },
            { K::highShelf, c.air,      0.707f, airDB + 2.5f },
            { K::lowPass,   c.lowPass,  0.707f, 0.0f },
        };

        for (size_t i = 0; i < probes.size(); ++i)
            EXPECT_NEAR (tones.gainDB (buffer, (int) i), cascadeGainDB (expected, probes[i], c.rate), 0.01) << probes[i] << " Hz";

        EXPECT_EQ (log, juce::StringArray ("[AudioPipeline/EQ] Applied " + juce::String (c.voice)
                                           + " vocal EQ: Thickness=3.5dB, MudCut=-3.0dB, Presence=3.0dB, AirShelf=4.0dB"));
    }
}

// The sections are run together in one pass for speed; that must give exactly what
// running them one after another gives.
TEST (AudioPipelineBiquads, SectionsRunTogetherGiveTheSameBitsAsOneAfterAnother)
{
    using K = Section::Kind;

    struct Case
    {
        const char* name;
        double rate;
        std::vector<Section> sections;
        std::function<void (juce::AudioBuffer<float>&, double)> stage;
    };

    const Case cases[] {
        { "pre-filter with hum", 48000.0,
          { { K::highPass, 90.0f, 0.707f, 0.0f }, { K::notch, 50.0f, 10.0f, 0.0f },
            { K::notch, 100.0f, 10.0f, 0.0f },    { K::notch, 150.0f, 30.0f, 0.0f } },
          [] (auto& b, double r) { AudioPipeline::applyPreFilter (b, r, true); } },
        { "vocal EQ at 48 kHz", 48000.0,
          { { K::highPass, 80.0f, 0.707f, 0.0f },   { K::peak, 150.0f, 0.4f, 3.5f },  { K::peak, 300.0f, 1.0f, -3.0f },
            { K::peak, 4500.0f, 1.0f, 3.0f },       { K::highShelf, 10000.0f, 0.707f, 6.5f },
            { K::lowPass, 16000.0f, 0.707f, 0.0f } },
          [] (auto& b, double r) { AudioPipeline::applyVocalEQ (b, r, "Male", 4.0f, 3.0f, -3.0f); } },
        { "vocal EQ at 22.05 kHz, no mud cut", 22050.0,
          { { K::highPass, 120.0f, 0.707f, 0.0f },  { K::peak, 150.0f, 0.4f, 3.5f },
            { K::peak, 4500.0f, 1.0f, 1.0f },       { K::highShelf, 9922.5f, 0.707f, 0.5f },
            { K::lowPass, 9922.5f, 0.707f, 0.0f } },
          [] (auto& b, double r) { AudioPipeline::applyVocalEQ (b, r, "Child", -2.0f, 1.0f, 0.0f); } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        auto expected = testing_support::makeNoise (3, 30000, 0.5, 11);
        expected.addFrom (0, 0, makeTones (c.rate, { 50.0 }, 0.3, 30000), 0, 0, 30000);
        auto actual = expected;

        runOneByOne (expected, c.sections, c.rate);
        logOf ([&] { c.stage (actual, c.rate); });

        EXPECT_TRUE (sameSamples (actual, expected));
    }
}

TEST (AudioPipelineVocalEQ, PresenceAndMudCutActAtTheirCentres)
{
    const ToneResponse tones (48000.0, { 300.0, 4500.0 });
    enum { at300, at4500 };
    const CapturingLogger quiet;

    const auto runEQ = [&] (float presenceDB, float mudCutDB)
    {
        auto buffer = tones.makeInput();
        AudioPipeline::applyVocalEQ (buffer, tones.sampleRate, "Male", 4.0f, presenceDB, mudCutDB);
        return buffer;
    };

    const auto flat = runEQ (0.0f, 0.0f);
    const auto shaped = runEQ (3.0f, -3.0f);

    EXPECT_NEAR (tones.gainDB (shaped, at4500) - tones.gainDB (flat, at4500), 3.0, 0.02);
    EXPECT_NEAR (tones.gainDB (shaped, at300) - tones.gainDB (flat, at300), -3.0, 0.02);
}

// A mud cut of -0.1 dB or shallower is skipped altogether, so it leaves exactly the bits
// of no cut at all; anything deeper adds the 300 Hz section.
TEST (AudioPipelineVocalEQ, MudCutRunsOnlyBelowMinusPointOne)
{
    const auto input = testing_support::makeNoise (1, 24000, 0.3);

    const auto runEQ = [&] (float mudCutDB)
    {
        auto buffer = input;
        AudioPipeline::applyVocalEQ (buffer, 48000.0, "Male", 4.0f, 3.0f, mudCutDB);
        return buffer;
    };

    const auto noCut = runEQ (0.0f);

    struct Case { float mudCutDB; bool cuts; const char* logged; };
    for (const auto& c : { Case { -0.1f, false, "MudCut=-0.1dB" }, Case { -0.04f, false, "MudCut=-0.0dB" },
                           Case { 0.5f, false, "MudCut=0.5dB" },    Case { -0.11f, true, "MudCut=-0.1dB" },
                           Case { -3.0f, true, "MudCut=-3.0dB" } })
    {
        SCOPED_TRACE (c.mudCutDB);
        juce::AudioBuffer<float> buffer;
        const auto log = logOf ([&] { buffer = runEQ (c.mudCutDB); });

        EXPECT_EQ (sameSamples (buffer, noCut), ! c.cuts);
        ASSERT_EQ (log.size(), 1);
        EXPECT_TRUE (log[0].contains (juce::String (c.logged) + ", ")) << log[0];
    }
}

// Any text holding m-a-l-e in a row, in any case, takes the male corners.
TEST (AudioPipelineVocalEQ, VoiceTypeChoosesTheCornerSet)
{
    const auto input = testing_support::makeNoise (1, 24000, 0.3);

    const auto runEQ = [&] (const juce::String& voice)
    {
        const CapturingLogger quiet;
        auto buffer = input;
        AudioPipeline::applyVocalEQ (buffer, 48000.0, voice, 4.0f, 3.0f, 0.0f);
        return buffer;
    };

    const auto male = runEQ ("Male");
    const auto other = runEQ ("Other");
    ASSERT_FALSE (sameSamples (male, other));

    struct Case { const char* voice; bool male; };
    for (const auto& c : { Case { "Female", true }, Case { "male", true }, Case { "FEMALE", true }, Case { "a maLEvoice", true },
                           Case { "", false }, Case { "Child", false }, Case { "Mal", false }, Case { "M ale", false } })
        EXPECT_TRUE (sameSamples (runEQ (c.voice), c.male ? male : other)) << "\"" << c.voice << "\"";

    juce::AudioBuffer<float> buffer (input);
    EXPECT_EQ (logOf ([&] { AudioPipeline::applyVocalEQ (buffer, 48000.0, "Female", 2.0f, 1.5f, 0.0f); }),
               juce::StringArray ("[AudioPipeline/EQ] Applied Female vocal EQ: Thickness=3.5dB, MudCut=0.0dB, Presence=1.5dB, AirShelf=2.0dB"));
}

//==============================================================================
// Make-up gain

TEST (AudioPipelineMakeupGain, ScalesEverySampleByTheDecibelFactor)
{
    const auto input = testing_support::makeNoise (2, 4800, 0.5);

    struct Case { float gainDB; float factor; const char* logged; };
    const Case cases[] {
        { 6.0f,    1.995f, "+6.0dB (x1.995)" },
        { -3.0f,   0.708f, "-3.0dB (x0.708)" },
        { 0.0f,    1.0f,   "0.0dB (x1.000)" },
        { 0.04f,   1.005f, "+0.0dB (x1.005)" },
        { -0.04f,  0.995f, "-0.0dB (x0.995)" },
        { -100.0f, 0.0f,   "-100.0dB (x0.000)" },
        { -120.0f, 0.0f,   "-120.0dB (x0.000)" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.gainDB);
        auto buffer = input;
        const auto log = logOf ([&] { AudioPipeline::applyMakeupGain (buffer, c.gainDB); });

        EXPECT_EQ (log, juce::StringArray (juce::String ("[AudioPipeline/Gain] Applied makeup gain: ") + c.logged));

        if (c.gainDB == 0.0f)
        {
            EXPECT_TRUE (sameSamples (buffer, input));
        }

        for (int ch = 0; ch < input.getNumChannels(); ++ch)
            for (int i = 0; i < input.getNumSamples(); ++i)
                ASSERT_NEAR (buffer.getSample (ch, i), input.getSample (ch, i) * c.factor, 3.0e-4f) << ch << ":" << i;
    }
}

//==============================================================================
// De-esser

TEST (AudioPipelineDeEsser, LowersASibilantBurstInItsOwnChannelOnly)
{
    constexpr double rate = 48000.0;
    auto input = testing_support::makeSine (2, 48000, rate, 1000.0, 0.2);
    const int burstStart = 19200, burstLength = 9600;   // 0.4 s to 0.6 s
    addBurst (input, 0, rate, 6500.0, 0.5, burstStart, burstLength);

    auto buffer = input;
    const auto log = logOf ([&] { AudioPipeline::applyDeEsser (buffer, rate, -30.0f); });
    EXPECT_EQ (log, juce::StringArray ("[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold=-32.0dB)"));

    // Inside the burst, after the 1 ms attack: the sibilant is pulled down hard, the voice is not.
    const int inside = burstStart + 2400, insideLength = 4800;
    const auto gainAt = [&] (int channel, double frequency, int start, int length)
    {
        return toDB (std::abs (toneAt (buffer, channel, frequency, rate, start, length))
                     / std::abs (toneAt (input, channel, frequency, rate, start, length)));
    };

    EXPECT_LT (gainAt (0, 6500.0, inside, insideLength), -6.0);
    EXPECT_NEAR (gainAt (0, 1000.0, inside, insideLength), 0.0, 0.05);
    EXPECT_NEAR (gainAt (0, 1000.0, 4800, 9600), 0.0, 0.01);

    // The other channel is processed exactly as if it were alone.
    auto alone = channelOf (input, 1);
    logOf ([&] { AudioPipeline::applyDeEsser (alone, rate, -30.0f); });
    EXPECT_TRUE (sameChannel (buffer, 1, alone, 0));
}

// The compressor works 2 dB under the argument but never below -40 dB; a 9 kHz tone
// peaking at -34 dBFS, nearly all of it in the high band, shows where it sits.
TEST (AudioPipelineDeEsser, WorkingThresholdIsTwoBelowButNotUnderMinus40)
{
    constexpr double rate = 48000.0;
    const ToneResponse tones (rate, { 9000.0 }, juce::Decibels::decibelsToGain (-34.0));

    struct Case { float thresholdDB; const char* logged; bool compresses; };
    const Case cases[] {
        { -144.0f, "-40.0", true },
        { -39.0f,  "-40.0", true },
        { -37.0f,  "-39.0", true },
        { -30.0f,  "-32.0", false },
        { std::numeric_limits<float>::quiet_NaN(), "-40.0", true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.thresholdDB);
        auto buffer = tones.makeInput();
        const auto log = logOf ([&] { AudioPipeline::applyDeEsser (buffer, rate, c.thresholdDB); });

        EXPECT_EQ (log, juce::StringArray (juce::String ("[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold=")
                                           + c.logged + "dB)"));

        if (c.compresses)
            EXPECT_LT (tones.gainDB (buffer, 0), -0.5);
        else
            EXPECT_NEAR (tones.gainDB (buffer, 0), 0.0, 0.01);
    }
}

// Where the compressor stays idle the bands sum to a fourth-order Linkwitz-Riley all-pass:
// the magnitude is kept and the phase turns as the crossover frequency dictates.
TEST (AudioPipelineDeEsser, IdleDeEsserIsTheCrossoverAllPass)
{
    const auto allPassPhase = [] (double frequency, double crossover, double rate)
    {
        const std::complex<double> s (0.0, std::tan (juce::MathConstants<double>::pi * frequency / rate));
        const auto wc = std::tan (juce::MathConstants<double>::pi * crossover / rate);
        const auto k = std::sqrt (2.0) * wc;
        return std::arg ((s * s - k * s + wc * wc) / (s * s + k * s + wc * wc));
    };

    struct Case { double rate, crossover; };
    for (const auto& c : { Case { 48000.0, 5000.0 }, Case { 16000.0, 5000.0 }, Case { 10002.0, 5000.0 }, Case { 8000.0, 3999.0 } })
    {
        SCOPED_TRACE (c.rate);
        const ToneResponse tones (c.rate, { 1000.0, 3000.0 });
        auto buffer = tones.makeInput();
        const auto log = logOf ([&] { AudioPipeline::applyDeEsser (buffer, c.rate, 0.0f); });

        for (int ch = 0; ch < 2; ++ch)
        {
            EXPECT_NEAR (tones.gainDB (buffer, ch), 0.0, 0.01);
            EXPECT_NEAR (tones.phase (buffer, ch), allPassPhase (tones.frequencies[(size_t) ch], c.crossover, c.rate), 1.0e-3);
        }

        EXPECT_FALSE (sameSamples (buffer, tones.input));
        EXPECT_EQ (log, juce::StringArray ("[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold=-2.0dB)"));
    }
}

// The de-esser compresses each high-band sample as soon as it is split instead of holding
// two band buffers. That must give exactly the bits of the long way round: split every
// channel into whole band buffers, then compress the high band channel after channel with
// one compressor, then add the bands.
TEST (AudioPipelineDeEsser, SameBitsAsSplittingIntoWholeBandsFirst)
{
    const auto deEssWithBandBuffers = [] (juce::AudioBuffer<float>& buffer, double rate, float thresholdDB)
    {
        const int channels = buffer.getNumChannels(), length = buffer.getNumSamples();
        const auto crossover = juce::jmin (std::fma ((float) rate, 0.5f, -1.0f), 5000.0f);

        juce::dsp::Compressor<float> compressor;
        compressor.setThreshold (juce::jmax (thresholdDB - 2.0f, -40.0f));
        compressor.setRatio (4.0f);
        compressor.setAttack (1.0f);
        compressor.setRelease (50.0f);
        compressor.prepare ({ rate, (juce::uint32) length, (juce::uint32) channels });

        juce::AudioBuffer<float> low (channels, length), high (channels, length);

        for (int ch = 0; ch < channels; ++ch)
        {
            juce::dsp::LinkwitzRileyFilter<float> lowPass, highPass;
            lowPass.setType (juce::dsp::LinkwitzRileyFilterType::lowpass);
            highPass.setType (juce::dsp::LinkwitzRileyFilterType::highpass);
            lowPass.setCutoffFrequency (crossover);
            highPass.setCutoffFrequency (crossover);
            lowPass.prepare ({ rate, (juce::uint32) length, 1 });
            highPass.prepare ({ rate, (juce::uint32) length, 1 });

            for (int i = 0; i < length; ++i)
            {
                low.setSample (ch, i, lowPass.processSample (0, buffer.getSample (ch, i)));
                high.setSample (ch, i, highPass.processSample (0, buffer.getSample (ch, i)));
            }
        }

        for (int ch = 0; ch < channels; ++ch)
            for (int i = 0; i < length; ++i)
                high.setSample (ch, i, compressor.processSample (ch, high.getSample (ch, i)));

        for (int ch = 0; ch < channels; ++ch)
            for (int i = 0; i < length; ++i)
                buffer.setSample (ch, i, low.getSample (ch, i) + high.getSample (ch, i));
    };

    const CapturingLogger quiet;

    for (double rate : { 48000.0, 22050.0, 8000.0 })
    {
        SCOPED_TRACE (rate);
        auto input = testing_support::makeNoise (3, 12000, 0.05, 11);
        addBurst (input, 0, rate, 0.3 * rate, 0.6, 2000, 3000);
        addBurst (input, 2, rate, 0.28 * rate, 0.4, 6000, 4000);

        auto expected = input;
        deEssWithBandBuffers (expected, rate, -30.0f);

        auto buffer = input;
        AudioPipeline::applyDeEsser (buffer, rate, -30.0f);

        ASSERT_FALSE (sameSamples (expected, input));
        EXPECT_TRUE (sameSamples (buffer, expected));
    }
}

//==============================================================================
// Expander, compressor, limiter

// Below the threshold every decibel becomes two; above it the signal passes untouched.
// The channels are unlinked: the loud left channel does not open the gate for the right.
TEST (AudioPipelineExpander, DoublesTheDistanceBelowThresholdPerChannel)
{
    constexpr double rate = 48000.0;
    auto input = testing_support::makeSine (2, 48000, rate, 1000.0, 0.3);
    input.applyGain (1, 0, input.getNumSamples(), juce::Decibels::decibelsToGain (-30.0f));   // right peaks near -40.5 dBFS

    auto buffer = input;
    const auto log = logOf ([&] { AudioPipeline::applyExpander (buffer, rate, -20.0f); });
    EXPECT_EQ (log, juce::StringArray ("[AudioPipeline/Expander] Applied Downward Expander (Threshold=-20.0dB, Ratio=2:1)"));

    const int settled = 4800, length = 43200;
    EXPECT_TRUE (std::memcmp (buffer.getReadPointer (0, settled), input.getReadPointer (0, settled),
                              sizeof (float) * (size_t) length) == 0);

    const auto gainDB = toDB (std::abs (toneAt (buffer, 1, 1000.0, rate, settled, length))
                              / std::abs (toneAt (input, 1, 1000.0, rate, settled, length)));
    EXPECT_NEAR (gainDB, -20.5, 1.0);

    auto alone = channelOf (input, 1);
    logOf ([&] { AudioPipeline::applyExpander (alone, rate, -20.0f); });
    EXPECT_TRUE (sameChannel (buffer, 1, alone, 0));
}

// A threshold so low that its level is zero (an extreme loudness target can push it there)
// leaves nothing below it: the audio passes unchanged, and digital silence stays silent
// instead of turning into NaN.
TEST (AudioPipelineExpander, ThresholdWithZeroLevelLeavesSilenceAndSignalAlone)
{
    constexpr double rate = 48000.0;
    auto input = testing_support::makeSine (1, 9600, rate, 1000.0, 1.0e-3);
    input.clear (0, 0, 4800);

    for (float thresholdDB : { -200.0f, -300.0f, -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN() })
    {
        SCOPED_TRACE (thresholdDB);
        auto buffer = input;
        const auto log = logOf ([&] { AudioPipeline::applyExpander (buffer, rate, thresholdDB); });

        EXPECT_TRUE (sameSamples (buffer, input));
        ASSERT_EQ (log.size(), 1);
    }

    // Just above that floor the gate still runs, and silence stays silence.
    auto buffer = input;
    logOf ([&] { AudioPipeline::applyExpander (buffer, rate, -199.0f); });
    EXPECT_EQ (buffer.getMagnitude (0, 0, 4800), 0.0f);
    EXPECT_TRUE (buffer.findMinMax (0, 0, 9600).getEnd() > 0.0f);
}

TEST (AudioPipelineOptoCompressor, ReducesALoudToneAndLeavesAQuietOne)
{
    constexpr double rate = 48000.0;
    auto input = testing_support::makeSine (2, 48000, rate, 1000.0, 0.5);                    // -6 dBFS
    input.applyGain (1, 0, input.getNumSamples(), juce::Decibels::decibelsToGain (-24.0f));  // -30 dBFS

    auto buffer = input;
    const auto log = logOf ([&] { AudioPipeline::applyOptoCompressor (buffer, rate); });
    EXPECT_EQ (log, juce::StringArray ("[AudioPipeline/Compressor] Applied Serial Opto-Style Leveler (LA-2A Topology)"));

    // 12 dB over -18 dB at 3:1 is about 8 dB of reduction, a little less as the envelope sits under the peaks.
    const int settled = 24000, length = 24000;
    const auto loudGainDB = toDB (std::abs (toneAt (buffer, 0, 1000.0, rate, settled, length))
                                  / std::abs (toneAt (input, 0, 1000.0, rate, settled, length)));
    EXPECT_LT (loudGainDB, -5.0);
    EXPECT_GT (loudGainDB, -8.5);

    // Unlinked: the quiet channel is not pulled down with the loud one.
    EXPECT_TRUE (sameChannel (buffer, 1, input, 1));
}

TEST (AudioPipelineLimiter, NeverExceedsFullScale)
{
    constexpr double rate = 48000.0;
    auto buffer = testing_support::makeSine (2, 48000, rate, 220.0, juce::Decibels::decibelsToGain (12.0));
    buffer.addFrom (1, 0, testing_support::makeNoise (1, 48000, 2.0), 0, 0, 48000);

    const auto log = logOf ([&] { AudioPipeline::applyLimiter (buffer, rate, -1.0f); });
    EXPECT_EQ (log, juce::StringArray ("[AudioPipeline/Limiter] Applied True Peak Limiter (Ceiling=-1.0 dBTP)"));

    for (int ch = 0; ch < 2; ++ch)
    {
        auto range = buffer.findMinMax (ch, 0, buffer.getNumSamples());
        EXPECT_GE (range.getStart(), -1.0f);
        EXPECT_LE (range.getEnd(), 1.0f);
    }

    EXPECT_EQ (buffer.getMagnitude (0, buffer.getNumSamples()), 1.0f);   // the clip is reached, not the ceiling
}

// JUCE's limiter lifts everything it does not compress by its own constant make-up gain,
// 10^(-ceiling/20) x 10^(7.5/40): +4.75 dB at a ceiling of -1 dB.
TEST (AudioPipelineLimiter, QuietSignalGetsTheLimitersMakeupGain)
{
    constexpr double rate = 48000.0;
    const auto input = testing_support::makeSine (1, 24000, rate, 440.0, 0.01);
    const CapturingLogger quiet;

    for (float ceilingDB : { -1.0f, -3.0f })
    {
        SCOPED_TRACE (ceilingDB);
        auto buffer = input;
        AudioPipeline::applyLimiter (buffer, rate, ceilingDB);

        const auto makeup = std::pow (10.0, -ceilingDB / 20.0) * std::pow (10.0, 7.5 / 40.0);
        for (int i = 0; i < input.getNumSamples(); ++i)
            ASSERT_NEAR (buffer.getSample (0, i), input.getSample (0, i) * makeup, 1.0e-6) << i;
    }
}

//==============================================================================
// Saturation

TEST (AudioPipelineSaturation, CurveValuesAtTheAutoMapDrives)
{
    // A steady level passes the shelf unchanged once it has settled, so the last sample
    // of a constant input is the curve's value.
    struct Case { float driveDB, input, output; const char* logged; };
    const Case cases[] {
        { 0.2f,  1.0f,  0.506f,  "+0.2dB)" },
        { 0.2f,  0.5f,  0.338f,  "+0.2dB)" },
        { 0.2f,  -0.5f, -0.338f, "+0.2dB)" },
        { 0.2f,  0.1f,  0.093f,  "+0.2dB)" },
        { 0.5f,  1.0f,  0.514f,  "+0.5dB)" },
        { 2.0f,  1.0f,  0.557f,  "+2.0dB)" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.driveDB) + " dB, " + juce::String (c.input));
        juce::AudioBuffer<float> buffer (1, 4800);
        juce::FloatVectorOperations::fill (buffer.getWritePointer (0), c.input, buffer.getNumSamples());

        const auto log = logOf ([&] { AudioPipeline::applyHarmonicSaturation (buffer, 48000.0, c.driveDB); });

        EXPECT_NEAR (buffer.getSample (0, buffer.getNumSamples() - 1), c.output, 5.0e-4f);
        EXPECT_EQ (log, juce::StringArray (juce::String ("[AudioPipeline/Saturation] Applied Tape Saturation + 14kHz LPF Roll-off (Drive=")
                                           + c.logged));
    }
}

TEST (AudioPipelineSaturation, DriveAtOrBelowMinus100Silences)
{
    const CapturingLogger quiet;

    for (float driveDB : { -100.0f, -140.0f })
    {
        auto buffer = testing_support::makeNoise (2, 4800, 0.8);
        AudioPipeline::applyHarmonicSaturation (buffer, 48000.0, driveDB);
        EXPECT_EQ (buffer.getMagnitude (0, buffer.getNumSamples()), 0.0f) << driveDB;
    }
}

// The curve may be vectorised, but every lane must give the bits of the plain per-sample
// formula, including the samples left over at either end of a channel that does not start
// on a vector boundary. The reference runs the scalar formula, then the same -1 dB shelf.
TEST (AudioPipelineSaturation, SameBitsAsTheScalarCurveThenTheShelf)
{
    constexpr double rate = 48000.0;
    const auto noise = testing_support::makeNoise (2, 100003, 4.0, 7);
    const CapturingLogger quiet;

    for (float driveDB : { 0.2f, 2.0f, 31.5f })
    {
        for (int offset : { 0, 1, 3 })
        {
            SCOPED_TRACE (juce::String (driveDB) + " dB, offset " + juce::String (offset));
            const int length = noise.getNumSamples() - offset;

            auto storage = noise;
            float* channels[] { storage.getWritePointer (0) + offset, storage.getWritePointer (1) + offset };
            juce::AudioBuffer<float> shifted (channels, 2, length);
            AudioPipeline::applyHarmonicSaturation (shifted, rate, driveDB);

            const auto gain = juce::Decibels::decibelsToGain (driveDB);
            juce::AudioBuffer<float> expected (2, length);

            for (int ch = 0; ch < 2; ++ch)
            {
                for (int i = 0; i < length; ++i)
                {
                    volatile float t = gain * noise.getSample (ch, i + offset);
                    volatile float denominator = std::abs (t) + 1.0f;
                    expected.setSample (ch, i, t / denominator);
                }

                juce::dsp::IIR::Filter<float> shelf (Coefficients::makeHighShelf (rate, 14000.0f, 0.707f, juce::Decibels::decibelsToGain (-1.0f)));
                auto block = juce::dsp::AudioBlock<float> (expected).getSingleChannelBlock ((size_t) ch);
                shelf.process (juce::dsp::ProcessContextReplacing<float> (block));

                ASSERT_EQ (std::memcmp (channels[ch], expected.getReadPointer (ch), sizeof (float) * (size_t) length), 0) << "channel " << ch;
            }
        }
    }
}

// The -1 dB shelf sits at 14 kHz, pulled down to 0.45 x the rate where that is lower.
TEST (AudioPipelineSaturation, ShelfCornerFollowsTheRate)
{
    const CapturingLogger quiet;

    struct Case { double rate; float cornerHz; };
    for (const auto& c : { Case { 48000.0, 14000.0f }, Case { 32000.0, 14000.0f }, Case { 24000.0, 10800.0f }, Case { 16000.0, 7200.0f } })
    {
        SCOPED_TRACE (c.rate);

        std::vector<double> probes;
        for (double f : { 1000.0, 5000.0, 7000.0, 9000.0, 10000.0, 12000.0, 14000.0, 20000.0 })
            if (f < 0.45 * c.rate)
                probes.push_back (f);

        // A level low enough that the curve is the straight line g x to well within the tolerance.
        const ToneResponse tones (c.rate, probes, 1.0e-4);
        auto buffer = tones.makeInput();
        AudioPipeline::applyHarmonicSaturation (buffer, c.rate, 0.5f);

        const auto shelf = Coefficients::makeHighShelf (c.rate, c.cornerHz, 0.707f, juce::Decibels::decibelsToGain (-1.0f));
        for (size_t i = 0; i < probes.size(); ++i)
            EXPECT_NEAR (tones.gainDB (buffer, (int) i), 0.5 + toDB (shelf->getMagnitudeForFrequency (probes[i], c.rate)), 0.01)
                << probes[i] << " Hz";
    }
}

//==============================================================================
// All stages

namespace
{
    struct Stage
    {
        const char* name;
        std::function<void (juce::AudioBuffer<float>&)> run;
        int logLines;
    };

    std::vector<Stage> allStages()
    {
        constexpr double rate = 48000.0;
        return {
            { "pre-filter",  [] (auto& b) { AudioPipeline::applyPreFilter (b, rate, true); }, 2 },
            { "vocal EQ",    [] (auto& b) { AudioPipeline::applyVocalEQ (b, rate, "Male", 4.0f, 3.0f, -3.0f); }, 1 },
            { "makeup gain", [] (auto& b) { AudioPipeline::applyMakeupGain (b, 6.0f); }, 1 },
            { "de-esser",    [] (auto& b) { AudioPipeline::applyDeEsser (b, rate, -30.0f); }, 1 },
            { "expander",    [] (auto& b) { AudioPipeline::applyExpander (b, rate, -30.0f); }, 1 },
            { "compressor",  [] (auto& b) { AudioPipeline::applyOptoCompressor (b, rate); }, 1 },
            { "saturation",  [] (auto& b) { AudioPipeline::applyHarmonicSaturation (b, rate, 0.5f); }, 1 },
            { "limiter",     [] (auto& b) { AudioPipeline::applyLimiter (b, rate, -1.0f); }, 1 },
        };
    }
}

TEST (AudioPipelineStages, EmptyBuffersAreLeftAloneButStillLogged)
{
    struct Shape { int channels, samples; };

    for (const auto& stage : allStages())
    {
        for (const auto& shape : { Shape { 0, 0 }, Shape { 2, 0 }, Shape { 0, 256 } })
        {
            SCOPED_TRACE (juce::String (stage.name) + ", " + juce::String (shape.channels) + " x " + juce::String (shape.samples));
            juce::AudioBuffer<float> buffer (shape.channels, shape.samples);

            const auto log = logOf ([&] { stage.run (buffer); });

            EXPECT_EQ (buffer.getNumChannels(), shape.channels);
            EXPECT_EQ (buffer.getNumSamples(), shape.samples);
            EXPECT_EQ (log.size(), stage.logLines);
        }
    }
}

// Every processor starts from zero state on every call: a stage run after a loud,
// different recording gives the same bits as on its first call.
TEST (AudioPipelineStages, NoStateSurvivesACall)
{
    const auto quiet = testing_support::makeNoise (2, 9600, 0.05, 3);
    auto loud = testing_support::makeSine (2, 9600, 48000.0, 6500.0, 0.9);

    for (const auto& stage : allStages())
    {
        SCOPED_TRACE (stage.name);
        CapturingLogger logger;

        auto first = quiet;
        stage.run (first);

        auto other = loud;
        stage.run (other);

        auto again = quiet;
        stage.run (again);

        EXPECT_TRUE (sameSamples (first, again));
    }
}
