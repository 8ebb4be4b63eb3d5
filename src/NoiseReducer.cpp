#include "NoiseReducer.h"
#include "SubprocessRunner.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <limits>
#include <optional>

namespace
{
    constexpr int deepFilterTimeoutMs = 300000;
    constexpr int ffmpegTimeoutMs = 120000;

    //==============================================================================
    /** The files of one DeepFilterNet3 call, all inside a directory of the call's own.

        The names inside are fixed, but the directory is unique to the call, so calls
        that run at the same time never write one file, and whatever is found in the
        output directory was written by DeepFilterNet3 for this call. It lies in the
        target's directory, so the output reaches the target by a rename on the same
        file system. DeepFilterNet3 writes into a directory apart from its input, so
        an output named like its input cannot overwrite it.

        When the call ends, the directory goes with everything in it after a success;
        after a failure, whatever DeepFilterNet3 left behind stays in it.
    */
    struct WorkFiles
    {
        explicit WorkFiles (const juce::File& targetDirectory)
            : directory (targetDirectory.getChildFile ("_df3_work_" + juce::Uuid().toString())),
              resampledInput (directory.getChildFile ("_df3_resampled_48k.wav")),
              outputDirectory (directory.getChildFile ("output")),
              resampledBack (directory.getChildFile ("_df3_resample_back.wav"))
        {
            outputDirectory.createDirectory();
        }

        ~WorkFiles()
        {
            if (succeeded)
            {
                directory.deleteRecursively();
            }
            else
            {
                // Deleting a directory only succeeds when it is empty.
                outputDirectory.deleteFile();
                directory.deleteFile();
            }
        }

        const juce::File directory, resampledInput, outputDirectory, resampledBack;
        bool succeeded = false;

        JUCE_DECLARE_NON_COPYABLE (WorkFiles)
    };

    //==============================================================================
    /** The file's sample rate, or nothing when no basic format can read it. */
    std::optional<double> readSampleRate (juce::AudioFormatManager& formats, const juce::File& file)
    {
        std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));

        if (reader == nullptr)
            return std::nullopt;

        return reader->sampleRate;
    }

    /** The rate truncated toward zero; a rate no int can hold, as a damaged header
        may give, becomes 0 so that it differs from every real rate.
    */
    int toWholeRate (double sampleRate)
    {
        // Every double strictly between these truncates to a value an int holds.
        constexpr auto lowestRate = (double) std::numeric_limits<int>::min() - 1.0;
        constexpr auto beyondHighestRate = (double) std::numeric_limits<int>::max() + 1.0;

        if (! (sampleRate > lowestRate && sampleRate < beyondHighestRate))
            return 0;

        return (int) sampleRate;
    }

    juce::StringArray buildDeepFilterCommand (const NoiseReducer::Config& config, const juce::File& fileToDenoise,
                                              const juce::File& outputDirectory)
    {
        // At 100 dB or more DeepFilterNet3 runs without a limit of its own.
        constexpr float noLimitDB = 100.0f;

        juce::StringArray args (config.deepFilterPath, fileToDenoise.getFullPathName(),
                                "--output-dir", outputDirectory.getFullPathName());

        if (config.attenuationLimitDB < noLimitDB)
        {
            args.add ("--atten-lim");
            args.add (juce::String (config.attenuationLimitDB));
        }

        return args;
    }

    /** The file DeepFilterNet3 wrote for baseName: under its usual name, under the
        base name alone, or else the first WAV file whose name holds the base name.
    */
    juce::File findDeepFilterOutput (const juce::File& outputDirectory, const juce::String& baseName,
                                     const juce::File& inputFile, const juce::File& targetFile)
    {
        const auto usualName = outputDirectory.getChildFile (baseName + "_DeepFilterNet3.wav");

        if (usualName.existsAsFile())
            return usualName;

        const auto plainName = outputDirectory.getChildFile (baseName + ".wav");

        if (plainName.existsAsFile() && plainName != inputFile)
            return plainName;

        // Listed with "*" and filtered here, so that an extension in any case counts
        // whatever way the directory listing matches its wildcard.
        for (const auto& file : outputDirectory.findChildFiles (juce::File::findFiles, false, "*"))
            if (file.hasFileExtension ("wav") && file != inputFile && file != targetFile
                 && file.getFileName().contains (baseName))
                return file;

        return {};
    }

    /** Moves (or, failing that, copies) the output onto the target. A target that is
        the input file itself is refused: the input must survive every call, and the
        caller goes on with it unchanged.
    */
    bool putAtTarget (const juce::File& output, const juce::File& targetFile, const juce::File& inputFile)
    {
        if (output == targetFile)
            return true;

        if (targetFile == inputFile)
            return false;

        targetFile.deleteFile();

        if (output.moveFileTo (targetFile))
            return true;

        if (! output.copyFileTo (targetFile))
            return false;

        output.deleteFile();
        return true;
    }

    /** Brings the denoised target back to the input's own rate. When that fails the
        target stays as it is, at the model's rate: the call has succeeded either way.
    */
    void convertBackToInputRate (juce::AudioFormatManager& formats, const juce::File& inputFile,
                                 const juce::File& targetFile, const juce::File& resampledBack,
                                 const juce::String& ffmpegPath)
    {
        const auto inputRate = readSampleRate (formats, inputFile);

        if (! inputRate.has_value())
            return;

        // A rename over the target replaces it in one step, so the target is never
        // missing, whatever becomes of the move.
        if (NoiseReducer::resampleWav (targetFile, resampledBack, toWholeRate (*inputRate), ffmpegPath))
            resampledBack.replaceFileIn (targetFile);
    }
}

//==============================================================================
NoiseReducer::Result NoiseReducer::process (const juce::File& inputFile, const juce::File& targetFile,
                                            const Config& config)
{
    juce::Logger::writeToLog (juce::String::repeatedString ("=", 40));
    juce::Logger::writeToLog ("[NoiseReducer] Starting noise reduction pipeline");
    juce::Logger::writeToLog ("[NoiseReducer] Input:  " + inputFile.getFullPathName());
    juce::Logger::writeToLog ("[NoiseReducer] Output: " + targetFile.getFullPathName());

    const auto startTime = juce::Time::getMillisecondCounterHiRes();
    auto result = runDeepFilterNet3 (inputFile, targetFile, config);

    if (result.success)
    {
        result.processingTimeMs = juce::Time::getMillisecondCounterHiRes() - startTime;
        juce::Logger::writeToLog ("[NoiseReducer] DeepFilterNet3 succeeded in "
                                  + juce::String (result.processingTimeMs, 1, false) + "ms");
        return result;
    }

    juce::Logger::writeToLog ("[NoiseReducer] DeepFilterNet3 FAILED: " + result.errorMessage);
    juce::Logger::writeToLog ("[NoiseReducer] Returning original audio (passthrough) to preserve studio quality.");

    Result passthroughResult;
    passthroughResult.success = true;
    passthroughResult.engine = passthrough;
    passthroughResult.outputFile = inputFile;
    passthroughResult.errorMessage = "DeepFilterNet3 failed. Audio unchanged.";
    passthroughResult.processingTimeMs = juce::Time::getMillisecondCounterHiRes() - startTime;
    return passthroughResult;
}

NoiseReducer::Result NoiseReducer::runDeepFilterNet3 (const juce::File& inputFile, const juce::File& targetFile,
                                                      const Config& config)
{
    Result result;
    result.engine = deepFilterNet3;

    juce::AudioFormatManager formats;
    formats.registerBasicFormats();

    const auto inputRate = readSampleRate (formats, inputFile);

    if (! inputRate.has_value())
    {
        result.errorMessage = "Cannot read input WAV file";
        return result;
    }

    const auto targetDirectory = targetFile.getParentDirectory();
    targetDirectory.createDirectory();
    WorkFiles work (targetDirectory);

    const auto needsResampling = toWholeRate (*inputRate) != config.modelSampleRate;
    auto fileToDenoise = inputFile;

    if (needsResampling)
    {
        juce::Logger::writeToLog ("[NoiseReducer/DF3] Input is " + juce::String (*inputRate) + "Hz, resampling to "
                                  + juce::String (config.modelSampleRate) + "Hz");

        if (! resampleWav (inputFile, work.resampledInput, config.modelSampleRate, config.ffmpegPath))
        {
            result.errorMessage = "Failed to resample input to 48kHz for DeepFilterNet3";
            work.resampledInput.deleteFile();
            return result;
        }

        fileToDenoise = work.resampledInput;
    }

    const auto run = SubprocessRunner::run (buildDeepFilterCommand (config, fileToDenoise, work.outputDirectory),
                                            deepFilterTimeoutMs, {});

    if (needsResampling)
        work.resampledInput.deleteFile();

    if (run.exitCode != 0 || run.timedOut)
    {
        result.errorMessage = "DeepFilterNet3 process failed (exit code " + juce::String (run.exitCode)
                              + "): " + run.output.trim();
        return result;
    }

    const auto output = findDeepFilterOutput (work.outputDirectory, fileToDenoise.getFileNameWithoutExtension(),
                                              inputFile, targetFile);

    if (! output.existsAsFile() || output.getSize() == 0)
    {
        result.errorMessage = "DeepFilterNet3 completed but output file not found or empty";
        return result;
    }

    if (! putAtTarget (output, targetFile, inputFile))
    {
        result.errorMessage = "Failed to move DF3 output to target path";
        return result;
    }

    if (needsResampling)
        convertBackToInputRate (formats, inputFile, targetFile, work.resampledBack, config.ffmpegPath);

    work.succeeded = true;
    result.success = true;
    result.outputFile = targetFile;
    return result;
}

bool NoiseReducer::resampleWav (const juce::File& inputFile, const juce::File& resampledFile,
                                int sampleRate, const juce::String& ffmpegPath)
{
    const juce::StringArray args (ffmpegPath, "-i", inputFile.getFullPathName(), "-ar", juce::String (sampleRate),
                                  "-acodec", "pcm_s16le", "-y", resampledFile.getFullPathName());

    const auto run = SubprocessRunner::run (args, ffmpegTimeoutMs, {});

    return run.exitCode == 0 && ! run.timedOut && resampledFile.existsAsFile() && resampledFile.getSize() > 0;
}
