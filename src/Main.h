#pragma once

#include <juce_core/juce_core.h>

#include "AudioPipeline.h"

#include <functional>

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

//==============================================================================
// The batch runner

/** Writes every log message to standard error as JUCE does when no logger is
    installed (the message's UTF-8 bytes, then a newline), but in one write, so
    that messages logged by parallel jobs never run into each other, and without
    allocating, so that a message still arrives when memory has run out.

    Installs itself as JUCE's logger for its lifetime.
*/
class StandardErrorLogger : public juce::Logger
{
public:
    StandardErrorLogger();
    ~StandardErrorLogger() override;

protected:
    void logMessage (const juce::String& message) override;

private:
    JUCE_DECLARE_NON_COPYABLE (StandardErrorLogger)
};

/** How many workers to start, and the log line that says why. */
struct WorkerPlan
{
    int workerCount = 1;
    juce::String topologyLine;
};

/** The worker-count rule: all hardware threads but one on the processors that
    scale well ("i7", "i9", "Apple"), half of them on "i5" and everything else.
    A hardware thread count of 0 means it is not known and counts as 4.
*/
WorkerPlan chooseWorkerCount (unsigned int hardwareThreads, const juce::String& cpuBrand);

/** The processor's brand name, or "Unknown" when it cannot be read. */
juce::String readProcessorBrand();

/** The text after the colon of the first "model name" line of a Linux
    /proc/cpuinfo listing, trimmed; "Unknown" when there is none.
*/
juce::String findModelName (const juce::String& cpuInfo);

/** Where a job writes the output of one input file: inside the output directory
    under the input's name when one was given, otherwise the one output file.
*/
juce::File getOutputFileFor (const juce::File& inputFile, const CLIArgs& args);

/** Processes one input file into one output file. */
using ProcessFunction = std::function<AudioPipeline::Result (const juce::File& inputFile,
                                                             const juce::File& outputFile,
                                                             const AudioPipeline::Config& config)>;

/** How many files of a batch succeeded and failed. */
struct BatchCounts
{
    int successCount = 0;
    int failedCount = 0;
};

/** Processes every input file, one job each in list order, on a pool of
    workerCount threads, and returns once every job has ended. A failed file is
    logged with its reason, even when memory has run out; a job whose processing
    throws counts as failed too. The files are the run's inputs for
    AudioPipeline::protectRunInputs.
*/
BatchCounts runFileJobs (const juce::Array<juce::File>& inputFiles, const CLIArgs& args,
                         const AudioPipeline::Config& config, int workerCount,
                         const ProcessFunction& process = AudioPipeline::process);
