#pragma once

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_core/juce_core.h>

#include <sys/resource.h>

#include <functional>
#include <iostream>

namespace bench
{
    /** Peak resident memory of this process so far, in MiB. */
    inline double peakMemoryMiB()
    {
        rusage usage {};
        getrusage (RUSAGE_SELF, &usage);
       #if defined (__APPLE__)
        return (double) usage.ru_maxrss / (1024.0 * 1024.0);
       #else
        return (double) usage.ru_maxrss / 1024.0;
       #endif
    }

    /** Keeps the log out of the figures for its lifetime. */
    class SilentLogger : public juce::Logger
    {
    public:
        SilentLogger()            { juce::Logger::setCurrentLogger (this); }
        ~SilentLogger() override  { juce::Logger::setCurrentLogger (nullptr); }

    protected:
        void logMessage (const juce::String&) override {}
    };

    /** Writes the buffer, repeated the given number of times, as a 16-bit WAV file; a long
        recording can so be written without ever being held whole.
    */
    inline bool writeWav16 (const juce::File& file, const juce::AudioBuffer<float>& buffer, double sampleRate,
                            int repetitions = 1)
    {
        file.deleteFile();
        auto stream = file.createOutputStream();

        if (stream == nullptr)
            return false;

        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (stream.get(), sampleRate,
                                                                              (unsigned int) buffer.getNumChannels(),
                                                                              16, {}, 0));
        if (writer == nullptr)
            return false;

        stream.release();

        for (int i = 0; i < repetitions; ++i)
            if (! writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples()))
                return false;

        return true;
    }

    /** Times one call and prints its realtime factor (seconds of audio per second of work). */
    inline double timeStage (const char* name, double audioSeconds, const std::function<void()>& work)
    {
        const auto start = juce::Time::getMillisecondCounterHiRes();
        work();
        const auto seconds = (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0;
        std::cout << "  " << name << ": " << juce::String (seconds, 3) << " s, "
                  << juce::String (audioSeconds / juce::jmax (seconds, 1.0e-9), 1) << "x realtime" << std::endl;
        return seconds;
    }
}
