#pragma once

#include <juce_core/juce_core.h>

#include "AudioPipeline.h"

/** The parsed command line of one run. */
struct CLIArgs
{
    juce::File inputFile;
    juce::File outputFile;
    juce::File inputDir;
    juce::File outputDir;
    bool denoise = true;
    bool compressor = true;
    bool eq = true;
    juce::String voiceType { "Male" };
    juce::String deepFilterPath;
    juce::String ffmpegPath;
    float targetLUFS = -18.0f;
    int bypassStage = 0;
    bool showHelp = false;
    bool valid = false;
    juce::String errorMessage;
};

/** Collects the process arguments, entry 0 (the program's path) first.
    Arguments are taken as UTF-8 so that paths outside ASCII can be named. */
juce::StringArray collectArguments (int argc, char* argv[]);

/** Parses an argument list whose entry 0 is the program's path. */
CLIArgs parseArguments (const juce::StringArray& args);

/** The run's one pipeline configuration, taken from the command line. */
AudioPipeline::Config makePipelineConfig (const CLIArgs& args);

/** The text printed for --help, without the final std::endl. */
const char* getUsageText();
