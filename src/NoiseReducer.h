#pragma once

#include <juce_core/juce_core.h>

/** Denoises a WAV file through the outside DeepFilterNet3 program. */
class NoiseReducer
{
public:
    NoiseReducer() = delete;
};
