#pragma once

// Shared fixtures for the tests (and the benchmarks): the real FFmpeg, a logger
// that captures every line, and generated signals.

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

#include <cmath>
#include <mutex>

namespace testing_support
{
    /** The real FFmpeg, wherever the system's package manager put it; empty when absent. */
    inline juce::String findFFmpeg()
    {
        for (const char* path : { "/usr/bin/ffmpeg", "/opt/homebrew/bin/ffmpeg", "/usr/local/bin/ffmpeg" })
            if (juce::File (path).existsAsFile())
                return path;

        return {};
    }

    /** Installs itself as JUCE's logger for its lifetime and keeps every message. */
    class CapturingLogger : public juce::Logger
    {
    public:
        CapturingLogger()  { juce::Logger::setCurrentLogger (this); }
        ~CapturingLogger() override { juce::Logger::setCurrentLogger (nullptr); }

        /** Every message so far, one entry per writeToLog call. */
        juce::StringArray getMessages() const
        {
            const std::lock_guard<std::mutex> lock (mutex);
            return messages;
        }

        bool contains (const juce::String& message) const   { return getMessages().contains (message); }

        void clear()
        {
            const std::lock_guard<std::mutex> lock (mutex);
            messages.clear();
        }

    protected:
        void logMessage (const juce::String& message) override
        {
            const std::lock_guard<std::mutex> lock (mutex);
            messages.add (message);
        }

    private:
        mutable std::mutex mutex;
        juce::StringArray messages;
    };

    /** A sine of the given peak amplitude in every channel. */
    inline juce::AudioBuffer<float> makeSine (int numChannels, int numSamples, double sampleRate,
                                              double frequency, double amplitude, double phase = 0.0)
    {
        juce::AudioBuffer<float> buffer (numChannels, numSamples);

        for (int ch = 0; ch < numChannels; ++ch)
        {
            auto* data = buffer.getWritePointer (ch);
            for (int i = 0; i < numSamples; ++i)
                data[i] = (float) (amplitude * std::sin (juce::MathConstants<double>::twoPi * frequency * i / sampleRate + phase));
        }

        return buffer;
    }

    /** Uniform white noise in [-amplitude, amplitude], reproducible from its seed. */
    inline juce::AudioBuffer<float> makeNoise (int numChannels, int numSamples, double amplitude, juce::int64 seed = 1)
    {
        juce::AudioBuffer<float> buffer (numChannels, numSamples);
        juce::Random random (seed);

        for (int ch = 0; ch < numChannels; ++ch)
        {
            auto* data = buffer.getWritePointer (ch);
            for (int i = 0; i < numSamples; ++i)
                data[i] = (float) (amplitude * (2.0 * random.nextDouble() - 1.0));
        }

        return buffer;
    }

    /** Digital silence. */
    inline juce::AudioBuffer<float> makeSilence (int numChannels, int numSamples)
    {
        juce::AudioBuffer<float> buffer (numChannels, numSamples);
        buffer.clear();
        return buffer;
    }

    /** A crude voice: a sawtooth whose pitch glides between 90 and 220 Hz, gated into
        syllables at about 4 Hz with short pauses, a hiss burst now and then for the
        sibilants, and a faint noise floor throughout. Every further channel is a quieter,
        slightly delayed copy of the first with noise of its own.
    */
    inline juce::AudioBuffer<float> makeSpeechLike (int numChannels, int numSamples, double sampleRate,
                                                    juce::int64 seed = 42)
    {
        juce::AudioBuffer<float> buffer (numChannels, numSamples);
        juce::Random random (seed);

        auto* first = buffer.getWritePointer (0);
        double phase = 0.0;

        for (int i = 0; i < numSamples; ++i)
        {
            const auto t = i / sampleRate;
            const auto pitch = 155.0 + 65.0 * std::sin (juce::MathConstants<double>::twoPi * 0.3 * t);
            phase += pitch / sampleRate;
            phase -= std::floor (phase);

            const auto syllable = std::sin (juce::MathConstants<double>::twoPi * 4.0 * t);
            const auto envelope = syllable > 0.0 ? syllable : 0.0;
            const auto voiced = 0.3 * envelope * (2.0 * phase - 1.0);

            const auto sibilant = std::fmod (t, 1.7) < 0.08 ? 0.15 * (2.0 * random.nextDouble() - 1.0) : 0.0;
            const auto floorNoise = 0.001 * (2.0 * random.nextDouble() - 1.0);

            first[i] = (float) (voiced + sibilant + floorNoise);
        }

        constexpr int delaySamples = 24;

        for (int ch = 1; ch < numChannels; ++ch)
        {
            auto* copy = buffer.getWritePointer (ch);

            for (int i = 0; i < numSamples; ++i)
                copy[i] = 0.8f * (i >= delaySamples ? first[i - delaySamples] : 0.0f)
                        + 0.001f * (2.0f * random.nextFloat() - 1.0f);
        }

        return buffer;
    }
}
