#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_dsp/juce_dsp.h>

/** Offline measurements of a recording held in memory. */
class AudioAnalyzer
{
public:
    AudioAnalyzer() = delete;
};
