#include "NoiseReducer.h"
#include "SubprocessRunner.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include <sys/stat.h>
#include <sys/types.h>

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
            : directory (NoiseReducer::createOwnDirectory (targetDirectory, "_df3_work_")),
              resampledInput (directory.getChildFile ("_df3_resampled_48k.wav")),
              outputDirectory (directory.getChildFile ("output")),
              resampledBack (directory.getChildFile ("_df3_resample_back.wav"))
        {
            ready = directory != juce::File() && outputDirectory.createDirectory().wasOk();
        }

        ~WorkFiles()
        {
            if (directory == juce::File())
                return;

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
        bool ready = false, succeeded = false;

        JUCE_DECLARE_NON_COPYABLE (WorkFiles)
    };

    //==============================================================================
    /** What a file's header says of its audio, with the frames counted as present. */
    struct AudioShape
    {
        int numChannels = 0;
        double sampleRate = 0.0;
        juce::int64 numFrames = 0;

        double getDurationSeconds() const   { return sampleRate > 0.0 ? (double) numFrames / sampleRate : 0.0; }
    };

    /** The file's shape, or nothing when no basic format can read it. Reads the header only. */
    std::optional<AudioShape> readShape (juce::AudioFormatManager& formats, const juce::File& file)
    {
        std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));

        if (reader == nullptr)
            return std::nullopt;

        return AudioShape { (int) reader->numChannels, reader->sampleRate,
                            NoiseReducer::countFramesPresent (file, *reader) };
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

    /** A run that exited by itself with 0 in time; one that crashed or was killed, even
        with nothing but exit code 0 to show for it, may have left its output half-written.
    */
    bool ranToCompletion (const SubprocessRunner::Result& run)
    {
        return run.exitCode == 0 && ! run.timedOut && run.terminatingSignal == 0 && ! run.statusLost;
    }

    /** What a failed run printed, and the signal that ended it when one did, or that
        how it ended is not known.
    */
    juce::String describeFailedRun (const SubprocessRunner::Result& run)
    {
        const auto printed = run.output.trim();
        const auto separator = printed.isEmpty() ? "" : " ";

        if (run.statusLost)
            return printed + separator + "(exit status lost)";

        if (run.terminatingSignal == 0)
            return printed;

        return printed + separator + "(ended by signal " + juce::String (run.terminatingSignal) + ")";
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

    /** Renames source over destination in one step. JUCE's replaceFileIn falls back to
        a copy that deletes the destination first, so a failure could lose it; a plain
        rename either replaces it whole or leaves it as it was.
    */
    bool renameOver (const juce::File& source, const juce::File& destination)
    {
        return std::rename (source.getFullPathName().toRawUTF8(), destination.getFullPathName().toRawUTF8()) == 0;
    }

    /** Brings the denoised target back to the input's own rate; true when the target is
        now at that rate. When any step fails the target stays as it is, at the model's
        rate: the call succeeds either way.
    */
    bool convertBackToInputRate (juce::AudioFormatManager& formats, const juce::File& inputFile,
                                 const juce::File& targetFile, const juce::File& resampledBack,
                                 const juce::String& ffmpegPath)
    {
        const auto input = readShape (formats, inputFile);

        return input.has_value()
                && NoiseReducer::resampleWav (targetFile, resampledBack, toWholeRate (input->sampleRate), ffmpegPath)
                && renameOver (resampledBack, targetFile);
    }

    //==============================================================================
    juce::String describeShape (const AudioShape& shape, int wholeRate)
    {
        return juce::String (shape.numChannels) + " channels, " + juce::String (wholeRate) + "Hz, "
               + juce::String (shape.getDurationSeconds(), 3, false) + "s";
    }

    /** Empty when the denoised file has the input's channels, the expected rate and the
        input's length, compared as durations; otherwise what it has instead. Decided
        from the header, so an oversized file costs no more than a small one.
    */
    juce::String describeMismatch (juce::AudioFormatManager& formats, const juce::File& denoisedFile,
                                   const AudioShape& input, int expectedRate)
    {
        // A resampling round trip moves the length by a few samples; a denoiser hands
        // back every frame it was given.
        constexpr double lengthToleranceSeconds = 0.010;

        const auto denoised = readShape (formats, denoisedFile);

        if (! denoised.has_value())
            return "not a readable audio file";

        const auto denoisedRate = toWholeRate (denoised->sampleRate);

        if (denoised->numChannels == input.numChannels && denoisedRate == expectedRate
             && std::abs (denoised->getDurationSeconds() - input.getDurationSeconds()) <= lengthToleranceSeconds)
            return {};

        return "expected " + describeShape (input, expectedRate) + "; got " + describeShape (*denoised, denoisedRate);
    }

    /** Takes a rejected output away from the target, so that it is never taken for the
        denoised audio; it stays in the work directory for inspection when it can be
        moved there.
    */
    void setAsideRejectedOutput (const juce::File& targetFile, const juce::File& workDirectory)
    {
        if (! targetFile.moveFileTo (workDirectory.getChildFile (targetFile.getFileName())))
            targetFile.deleteFile();
    }

    //==============================================================================
    int chunkId (const char* name) noexcept
    {
        return (int) juce::ByteOrder::littleEndianInt (name);
    }

    //==============================================================================
    /** The WAVE_FORMAT_EXTENSIBLE sub-formats JUCE's WAV reader takes as plain samples, as
        their GUIDs lie in the file.
    */
    using SubFormatGuid = std::array<juce::uint8, 16>;

    constexpr SubFormatGuid pcmSubFormat          { 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71 };
    constexpr SubFormatGuid floatSubFormat        { 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71 };
    constexpr SubFormatGuid ambisonicPcmSubFormat { 0x01, 0x00, 0x00, 0x00, 0x21, 0x07, 0xd3, 0x11, 0x86, 0x44, 0xc8, 0xc1, 0xca, 0x00, 0x00, 0x00 };

    /** True when a WAV fmt chunk, read from the start of its body, declares samples stored as
        they are: PCM, IEEE float, or an extensible format of either. Every other tag (mu-law,
        A-law, ADPCM, Ogg Vorbis, ...) is a compressed encoding whose bytes tell nothing of
        how many frames they hold.
    */
    bool declaresUncompressedWav (juce::InputStream& in, juce::int64 chunkLength)
    {
        constexpr int pcmTag = 1, floatTag = 3, extensibleTag = 0xfffe;
        constexpr int subFormatOffset = 24;   // past the basic fields, cbSize, valid bits and channel mask
        constexpr auto extensibleLength = (juce::int64) subFormatOffset + (juce::int64) sizeof (SubFormatGuid);

        const auto tag = (int) (juce::uint16) in.readShort();

        if (tag == pcmTag || tag == floatTag)
            return true;

        if (tag != extensibleTag || chunkLength < extensibleLength)
            return false;

        in.skipNextBytes (subFormatOffset - 2);
        SubFormatGuid subFormat {};

        return in.read (subFormat.data(), (int) subFormat.size()) == (int) subFormat.size()
                && (subFormat == pcmSubFormat || subFormat == floatSubFormat || subFormat == ambisonicPcmSubFormat);
    }

    /** True when an AIFC COMM chunk, read from the start of its body, declares samples stored
        as they are: no compression type at all (a chunk too short to hold one, which JUCE's
        AIFF reader takes as big-endian PCM), or one of the types it reads as PCM or float.
    */
    bool declaresUncompressedAifc (juce::InputStream& in, juce::int64 chunkLength)
    {
        constexpr int compressionTypeOffset = 18;   // past channels, frames, sample size and the 10-byte rate

        if (chunkLength <= compressionTypeOffset)
            return true;

        in.skipNextBytes (compressionTypeOffset);
        const auto compressionType = in.readInt();

        for (const auto* uncompressed : { "NONE", "twos", "sowt", "fl32", "FL32" })
            if (compressionType == chunkId (uncompressed))
                return true;

        return false;
    }

    /** Where the sample data of a WAV (RIFF or RF64) or AIFF file begins, found by walking its
        chunks as the readers do; nothing for any other kind of file, and nothing when its
        format chunk declares compressed samples, or a WAV file has no format chunk at all.
    */
    std::optional<juce::int64> findUncompressedSampleDataStart (juce::InputStream& in)
    {
        const auto formId = in.readInt();
        in.skipNextBytes (4);
        const auto formType = in.readInt();

        const bool isWav  = (formId == chunkId ("RIFF") || formId == chunkId ("RF64")) && formType == chunkId ("WAVE");
        const bool isAiff = formId == chunkId ("FORM") && formType == chunkId ("AIFF");
        const bool isAifc = formId == chunkId ("FORM") && formType == chunkId ("AIFC");

        if (! isWav && ! isAiff && ! isAifc)
            return std::nullopt;

        // A plain AIFF file has no compression type: its samples are always stored as they are.
        bool formatDeclared = isAiff, everyFormatUncompressed = true;
        std::optional<juce::int64> dataStart;

        while (in.getPosition() + 8 <= in.getTotalLength())
        {
            const auto id = in.readInt();
            const auto length = (juce::int64) (juce::uint32) (isWav ? in.readInt() : in.readIntBigEndian());
            const auto bodyStart = in.getPosition();

            // A format chunk that the readers would take in place of an earlier one is checked
            // as well: a single compressed declaration makes the whole file compressed.
            if (isWav && id == chunkId ("fmt "))
            {
                everyFormatUncompressed = declaresUncompressedWav (in, length) && everyFormatUncompressed;
                formatDeclared = true;
            }
            else if (isAifc && id == chunkId ("COMM"))
            {
                everyFormatUncompressed = declaresUncompressedAifc (in, length) && everyFormatUncompressed;
                formatDeclared = true;
            }
            // As in the readers, a later data chunk takes the place of an earlier one.
            else if (isWav && id == chunkId ("data"))
            {
                dataStart = bodyStart;
            }
            else if (! isWav && id == chunkId ("SSND"))
            {
                dataStart = bodyStart + 8 + in.readIntBigEndian();   // past the offset and block-size fields
            }

            if (! in.setPosition (bodyStart + length + (length & 1)))
                break;
        }

        if (! (formatDeclared && everyFormatUncompressed))
            return std::nullopt;

        return dataStart;
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

    const auto input = readShape (formats, inputFile);

    if (! input.has_value())
    {
        result.errorMessage = "Cannot read input WAV file";
        return result;
    }

    const auto targetDirectory = targetFile.getParentDirectory();
    targetDirectory.createDirectory();
    WorkFiles work (targetDirectory);

    if (! work.ready)
    {
        result.errorMessage = "Cannot create a work directory for DeepFilterNet3 in " + targetDirectory.getFullPathName();
        return result;
    }

    const auto inputRate = toWholeRate (input->sampleRate);
    const auto needsResampling = inputRate != config.modelSampleRate;
    auto fileToDenoise = inputFile;

    if (needsResampling)
    {
        juce::Logger::writeToLog ("[NoiseReducer/DF3] Input is " + juce::String (input->sampleRate) + "Hz, resampling to "
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

    if (! ranToCompletion (run))
    {
        result.errorMessage = "DeepFilterNet3 process failed (exit code " + juce::String (run.exitCode)
                              + "): " + describeFailedRun (run);
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

    // When the conversion back fails, the denoised audio stays at the model's rate.
    const auto convertedBack = needsResampling
                                && convertBackToInputRate (formats, inputFile, targetFile, work.resampledBack,
                                                           config.ffmpegPath);
    const auto expectedRate = needsResampling && ! convertedBack ? config.modelSampleRate : inputRate;
    const auto mismatch = describeMismatch (formats, targetFile, *input, expectedRate);

    if (mismatch.isNotEmpty())
    {
        result.errorMessage = "DeepFilterNet3 output does not match its input: " + mismatch;
        setAsideRejectedOutput (targetFile, work.directory);
        return result;
    }

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

    return ranToCompletion (run) && resampledFile.existsAsFile() && resampledFile.getSize() > 0;
}

juce::int64 NoiseReducer::countFramesPresent (const juce::File& file, const juce::AudioFormatReader& reader)
{
    const auto claimed = reader.lengthInSamples;
    const auto bytesPerFrame = (juce::int64) reader.numChannels * (juce::int64) reader.bitsPerSample / 8;

    juce::FileInputStream in (file);

    if (bytesPerFrame <= 0 || ! in.openedOk())
        return claimed;

    const auto dataStart = findUncompressedSampleDataStart (in);

    if (! dataStart.has_value())
        return claimed;

    const auto bytesPresent = juce::jmax ((juce::int64) 0, in.getTotalLength() - *dataStart);
    return juce::jmin (claimed, bytesPresent / bytesPerFrame);
}

juce::File NoiseReducer::createOwnDirectory (const juce::File& parent, const juce::String& prefix)
{
    // A clash of two fresh ids means something is wrong; a few draws are plenty.
    constexpr int maxAttempts = 4;

    for (int attempt = 0; attempt < maxAttempts; ++attempt)
    {
        const auto candidate = parent.getChildFile (prefix + juce::Uuid().toString());

        if (::mkdir (candidate.getFullPathName().toRawUTF8(), 0777) == 0)
            return candidate;

        if (errno != EEXIST)
            break;
    }

    return {};
}
