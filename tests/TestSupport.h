#pragma once

// Shared fixtures for the tests: a logger that captures every line, and
// generated signals.

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

#include <cmath>
#include <mutex>

namespace testing_support
{
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
}
