#include "Main.h"

#include <iostream>

//==============================================================================
juce::StringArray collectArguments (int argc, char* argv[])
{
    juce::StringArray args;

    for (int i = 0; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    return args;
}

namespace
{
    bool parseBool (const juce::String& value)
    {
        return value == "true" || value == "1";
    }

    /** Stores one option's value; false when the word names no option. */
    bool applyOption (CLIArgs& parsed, const juce::String& name, const juce::String& value)
    {
        if      (name == "--input")           parsed.inputFile      = juce::File (value);
        else if (name == "--output")          parsed.outputFile     = juce::File (value);
        else if (name == "--input-dir")       parsed.inputDir       = juce::File (value);
        else if (name == "--output-dir")      parsed.outputDir      = juce::File (value);
        else if (name == "--denoise")         parsed.denoise        = parseBool (value);
        else if (name == "--compressor")      parsed.compressor     = parseBool (value);
        else if (name == "--eq")              parsed.eq             = parseBool (value);
        else if (name == "--voice-type")      parsed.voiceType      = value;
        else if (name == "--deepfilter-path") parsed.deepFilterPath = value;
        else if (name == "--ffmpeg-path")     parsed.ffmpegPath     = value;
        else if (name == "--target-lufs")     parsed.targetLUFS     = value.getFloatValue();
        else if (name == "--bypass-stage")    parsed.bypassStage    = value.getIntValue();
        else                                  return false;

        return true;
    }

    bool isGiven (const juce::File& f)
    {
        return f != juce::File();
    }
}

CLIArgs parseArguments (const juce::StringArray& args)
{
    CLIArgs parsed;

    // Options come in name/value pairs; a value is never examined for looking
    // like an option, so "--help" is only recognised at a name position.
    for (int j = 1; j < args.size(); j += 2)
    {
        const auto& word = args[j];

        if (word == "--help" || word == "-h")
        {
            parsed.showHelp = true;
            parsed.valid = true;
            return parsed;
        }

        if (j + 1 >= args.size())
        {
            parsed.errorMessage = "Missing value for argument: " + word;
            return parsed;
        }

        if (! applyOption (parsed, word, args[j + 1]))
        {
            parsed.errorMessage = "Unknown argument: " + word;
            return parsed;
        }
    }

    const bool hasInput  = isGiven (parsed.inputFile)  || isGiven (parsed.inputDir);
    const bool hasOutput = isGiven (parsed.outputFile) || isGiven (parsed.outputDir);

    if (hasInput && hasOutput)
        parsed.valid = true;
    else
        parsed.errorMessage = "Must specify either --input/--output or --input-dir/--output-dir.";

    return parsed;
}

AudioPipeline::Config makePipelineConfig (const CLIArgs& args)
{
    AudioPipeline::Config config;
    config.denoise        = args.denoise;
    config.compressor     = args.compressor;
    config.eq             = args.eq;
    config.voiceType      = args.voiceType;
    config.deepFilterPath = args.deepFilterPath;
    config.ffmpegPath     = args.ffmpegPath;
    config.targetLUFS     = args.targetLUFS;
    config.bypassStage    = args.bypassStage;
    return config;
}

const char* getUsageText()
{
    return "\n"
           "Voxmender Audio Engine (Batch CPU-Aware)\n"
           "\n"
           "Usage:\n"
           "  voxmender-audio-engine [options]\n"
           "\n"
           "IO Options:\n"
           "  --input <file>           Single input WAV file\n"
           "  --output <file>          Single output WAV file\n"
           "  --input-dir <dir>        Batch input directory\n"
           "  --output-dir <dir>       Batch output directory\n"
           "\n"
           "Audio Options:\n"
           "  --denoise <bool>         Enable AI noise reduction (default: true)\n"
           "  --compressor <bool>      Enable macro-dynamics compressor (default: true)\n"
           "  --eq <bool>              Enable corrective/enhancement EQ (default: true)\n"
           "  --voice-type <str>       'Male' or 'Female' (default: Male)\n"
           "  --target-lufs <float>    Target loudness (default: -14.0)\n"
           "\n"
           "System Options:\n"
           "  --deepfilter-path <path> Path to DeepFilterNet3 binary\n"
           "  --ffmpeg-path <path>     Path to FFmpeg binary\n"
           "  --help, -h               Show this help message\n";
}

//==============================================================================
int main (int argc, char* argv[])
{
    const auto args = collectArguments (argc, argv);
    const auto parsed = parseArguments (args);

    if (parsed.showHelp)
    {
        std::cout << getUsageText() << std::endl;
        return 0;
    }

    if (! parsed.valid)
    {
        std::cerr << "ERROR: " << parsed.errorMessage.toStdString() << std::endl;
        std::cerr << "Run with --help for usage information." << std::endl;
        return 1;
    }

    // The batch runner takes over from here; until it exists a valid command
    // line only builds the run's configuration.
    const auto config = makePipelineConfig (parsed);
    juce::ignoreUnused (config);
    return 0;
}
