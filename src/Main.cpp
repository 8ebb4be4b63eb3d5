#include "Main.h"

#include "BatchRunner.h"

#include <iostream>
#include <thread>

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
namespace
{
    constexpr int exitSuccess           = 0;
    constexpr int exitCommandLineError  = 1;
    constexpr int exitSomeFilesFailed   = 2;

    bool isBatch (const CLIArgs& args)
    {
        return isGiven (args.inputDir);
    }

    /** A batch takes every "*.wav" directly inside the input directory, in any case and
        hidden ones too, in the order the directory yields them. A single input is handed
        on whether or not it exists: its processing decides whether it succeeds.
    */
    juce::Array<juce::File> listInputFiles (const CLIArgs& args)
    {
        if (isBatch (args))
            return args.inputDir.findChildFiles (juce::File::findFiles, false, "*.wav",
                                                 juce::File::FollowSymlinks::yes);

        return { args.inputFile };
    }

    /** A directory that cannot be made is not reported here: writing into it fails
        for each file instead. An empty file makes no directory.
    */
    void createOutputLocation (const CLIArgs& args)
    {
        if (isBatch (args))
            args.outputDir.createDirectory();
        else
            args.outputFile.getParentDirectory().createDirectory();
    }

    /** Logs the rule's two lines, before any job can log. */
    int chooseWorkerCount()
    {
        const auto plan = BatchRunner::chooseWorkers (std::thread::hardware_concurrency(),
                                                      BatchRunner::readProcessorBrand());

        juce::Logger::writeToLog (plan.topologyLine);
        juce::Logger::writeToLog ("[System] Initializing ThreadPool with " + juce::String (plan.workerCount) + " workers.");
        return plan.workerCount;
    }

    void printSummary (const BatchRunner::Counts& counts)
    {
        std::cout << "{\"status\":\"batch_complete\",\"success\":" << counts.succeeded
                  << ",\"failed\":" << counts.failed << "}" << std::endl;
    }

    int runBatch (const CLIArgs& args)
    {
        // From here on every log message, from whichever job, reaches standard error whole.
        StandardErrorLogger logger;

        const auto config = makePipelineConfig (args);
        const auto inputFiles = listInputFiles (args);
        createOutputLocation (args);

        const auto workerCount = chooseWorkerCount();

        if (inputFiles.isEmpty())
        {
            juce::Logger::writeToLog ("[System] No files found to process.");
            return exitSuccess;
        }

        const auto counts = BatchRunner::runJobs (inputFiles, args, config, workerCount);
        printSummary (counts);

        return counts.failed != 0 ? exitSomeFilesFailed : exitSuccess;
    }
}

int main (int argc, char* argv[])
{
    const auto args = collectArguments (argc, argv);
    const auto parsed = parseArguments (args);

    if (parsed.showHelp)
    {
        std::cout << getUsageText() << std::endl;
        return exitSuccess;
    }

    if (! parsed.valid)
    {
        std::cerr << "ERROR: " << parsed.errorMessage.toStdString() << std::endl;
        std::cerr << "Run with --help for usage information." << std::endl;
        return exitCommandLineError;
    }

    return runBatch (parsed);
}
