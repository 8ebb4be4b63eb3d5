#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_dsp/juce_dsp.h>

/** Processes one recording into one mastered 16-bit WAV file.

    Holds only static functions; its data travels in the nested records.
*/
class AudioPipeline
{
public:
    /** The settings of one run, filled from the command line and copied into every job. */
    struct Config
    {
        bool denoise = true;
        bool compressor = true;
        bool eq = true;
        juce::String voiceType { "Male" };
        juce::String deepFilterPath;
        juce::String ffmpegPath;
        float targetLUFS = -18.0f;
        int bypassStage = 0;
    };

    /** The outcome of one file. */
    struct Result
    {
        bool success = false;
        juce::String errorMessage;
        juce::String denoiseEngine;
        juce::String analysisJSON;
        double processingTimeMs = 0.0;
    };

    AudioPipeline() = delete;
};
