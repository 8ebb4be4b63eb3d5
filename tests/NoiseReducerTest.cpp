#include <gtest/gtest.h>

#include "Main.h"
#include "NoiseReducer.h"
#include "ProcessChecks.h"
#include "TestFiles.h"
#include "TestSupport.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
    using namespace testing_support;

    constexpr double toneAmplitude = 0.5;
    constexpr float standInGain = 0.5f;   // what the stand-in's "denoising" does to every sample

    /** A quarter of a second of a 1 kHz tone. */
    juce::File writeTone (const juce::File& file, double sampleRate, double amplitude = toneAmplitude,
                          int numChannels = 1)
    {
        writeWav (file, makeSine (numChannels, (int) (sampleRate / 4), sampleRate, 1000.0, amplitude), sampleRate);
        return file;
    }

    /** The format tag in a WAV file's fmt chunk; 0 when it has none. */
    int formatTagOf (const juce::File& wav)
    {
        constexpr int firstChunkPosition = 12;

        juce::FileInputStream in (wav);
        in.setPosition (firstChunkPosition);

        while (in.getPosition() + 8 <= in.getTotalLength())
        {
            char id[4];
            in.read (id, 4);
            const auto length = (juce::int64) (juce::uint32) in.readInt();

            if (std::memcmp (id, "fmt ", 4) == 0)
                return (int) (juce::uint16) in.readShort();

            in.setPosition (in.getPosition() + length + (length & 1));
        }

        return 0;
    }

    //==============================================================================
    class NoiseReducerTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            ASSERT_TRUE (ffmpegPath.isNotEmpty()) << "FFmpeg is needed for these tests and was not found";
            directory.createDirectory();
            config.deepFilterPath = VOXMENDER_STANDIN;
            config.ffmpegPath = ffmpegPath;
        }

        void TearDown() override
        {
            directory.deleteRecursively();
            argumentsFile.deleteFile();
        }

        /** The arguments the stand-in got in its last run. */
        juce::StringArray recordedArguments() const
        {
            return juce::StringArray::fromLines (argumentsFile.loadFileAsString().trimEnd());
        }

        void expectPassthrough (const NoiseReducer::Result& result, const juce::File& input,
                                const juce::String& reason) const
        {
            EXPECT_TRUE (result.success);
            EXPECT_EQ (result.engine, NoiseReducer::passthrough);
            EXPECT_EQ (result.outputFile, input);
            EXPECT_EQ (result.errorMessage, "DeepFilterNet3 failed. Audio unchanged.");
            EXPECT_EQ (loggedFailureReason(), reason);
        }

        /** What the failure line gave as the reason, checking that the passthrough line
            follows it; empty when there is no failure line.
        */
        juce::String loggedFailureReason() const
        {
            const juce::String failedPrefix ("[NoiseReducer] DeepFilterNet3 FAILED: ");
            const auto messages = log.getMessages();

            for (int i = 0; i < messages.size(); ++i)
            {
                if (messages[i].startsWith (failedPrefix))
                {
                    EXPECT_EQ (messages[i + 1],
                               "[NoiseReducer] Returning original audio (passthrough) to preserve studio quality.");
                    return messages[i].substring (failedPrefix.length());
                }
            }

            return {};
        }

        const juce::String ffmpegPath = findFFmpeg();
        const juce::File directory = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                         .getChildFile ("voxmender-noise-" + juce::Uuid().toString());
        const juce::File argumentsFile = directory.getSiblingFile (directory.getFileName() + "-args.txt");
        const juce::File input = directory.getChildFile ("take one.wav");
        const juce::File target = directory.getChildFile ("_stage1_denoised.wav");

        CapturingLogger log;
        NoiseReducer::Config config;
        ScopedEnvironment recordArguments { "VOXMENDER_STANDIN_ARGS", argumentsFile.getFullPathName() };
    };
}

//==============================================================================
TEST_F (NoiseReducerTest, InputAtModelRateGoesStraightToDeepFilterNet3)
{
    writeTone (input, 48000.0);
    config.ffmpegPath = "/nonexistent/ffmpeg";   // any FFmpeg run would fail the call

    const auto result = NoiseReducer::process (input, target, config);

    EXPECT_TRUE (result.success);
    EXPECT_EQ (result.engine, NoiseReducer::deepFilterNet3);
    EXPECT_EQ (result.outputFile, target);
    EXPECT_TRUE (result.errorMessage.isEmpty());

    const auto denoised = readWav (target);
    EXPECT_EQ (denoised.sampleRate, 48000.0);
    EXPECT_NEAR (peakOf (denoised), standInGain * toneAmplitude, 0.01);

    const auto args = recordedArguments();
    ASSERT_EQ (args.size(), 3) << args.joinIntoString (" | ");
    EXPECT_EQ (args[0], input.getFullPathName());
    EXPECT_EQ (args[1], "--output-dir");
    EXPECT_TRUE (juce::File (args[2]).isAChildOf (directory)) << args[2];

    const auto messages = log.getMessages();
    ASSERT_GE (messages.size(), 4);
    EXPECT_EQ (messages[0], "========================================");
    EXPECT_EQ (messages[1], "[NoiseReducer] Starting noise reduction pipeline");
    EXPECT_EQ (messages[2], "[NoiseReducer] Input:  " + input.getFullPathName());
    EXPECT_EQ (messages[3], "[NoiseReducer] Output: " + target.getFullPathName());
    EXPECT_TRUE (messages.strings.getLast().startsWith ("[NoiseReducer] DeepFilterNet3 succeeded in "));
    EXPECT_TRUE (messages.strings.getLast().endsWith ("ms"));
    EXPECT_EQ (messages.joinIntoString ("\n").indexOf ("[NoiseReducer/DF3]"), -1);
    EXPECT_EQ (messages.joinIntoString ("\n").indexOf ("ffmpeg"), -1);

    EXPECT_EQ (listTree (directory), juce::StringArray ("_stage1_denoised.wav", "take one.wav"));
}

TEST_F (NoiseReducerTest, OtherRatesAreResampledForDeepFilterNet3AndBack)
{
    writeTone (input, 44100.0);

    const auto result = NoiseReducer::process (input, target, config);

    EXPECT_TRUE (result.success);
    EXPECT_EQ (result.engine, NoiseReducer::deepFilterNet3);
    EXPECT_EQ (result.outputFile, target);

    const auto denoised = readWav (target);
    EXPECT_EQ (denoised.sampleRate, 44100.0);
    EXPECT_NEAR (peakOf (denoised), standInGain * toneAmplitude, 0.01);

    EXPECT_TRUE (log.contains ("[NoiseReducer/DF3] Input is 44100Hz, resampling to 48000Hz"));
    const auto allLines = log.getMessages().joinIntoString ("\n");
    EXPECT_TRUE (allLines.contains (" -ar 48000 -acodec pcm_s16le -y "));
    EXPECT_TRUE (allLines.contains (" -ar 44100 -acodec pcm_s16le -y "));

    EXPECT_EQ (juce::File (recordedArguments()[0]).getFileName(), "_df3_resampled_48k.wav");
    EXPECT_EQ (listTree (directory), juce::StringArray ("_stage1_denoised.wav", "take one.wav"));
}

TEST_F (NoiseReducerTest, AttenuationLimitIsPassedOnlyBelow100)
{
    writeTone (input, 48000.0);

    struct Case { float limitDB; const char* passed; };

    const Case cases[] = { { 100.0f, nullptr }, { 150.0f, nullptr }, { 15.0f, "15" }, { 99.5f, "99.5" } };

    for (const auto& c : cases)
    {
        config.attenuationLimitDB = c.limitDB;
        ASSERT_TRUE (NoiseReducer::process (input, target, config).success);

        const auto args = recordedArguments();

        if (c.passed == nullptr)
        {
            EXPECT_EQ (args.size(), 3) << c.limitDB;
        }
        else
        {
            ASSERT_EQ (args.size(), 5) << c.limitDB;
            EXPECT_EQ (args[3], "--atten-lim");
            EXPECT_EQ (args[4], c.passed);
        }
    }
}

TEST_F (NoiseReducerTest, EveryFailurePassesTheInputThroughUnchanged)
{
    struct Case
    {
        const char* name;
        const char* mode;
        double sampleRate;
        juce::String deepFilterPath, ffmpegPath, reason;
        bool leavesOutput;
    };

    const juce::String standIn = VOXMENDER_STANDIN;

    const Case cases[] = {
        { "exit 1",           "fail",    48000.0, standIn, ffmpegPath,
          "DeepFilterNet3 process failed (exit code 1): model could not be loaded", false },
        { "exit 1, resampled", "fail",   44100.0, standIn, ffmpegPath,
          "DeepFilterNet3 process failed (exit code 1): model could not be loaded", false },
        { "writes nothing",   "nothing", 48000.0, standIn, ffmpegPath,
          "DeepFilterNet3 completed but output file not found or empty", false },
        { "empty output",     "empty",   48000.0, standIn, ffmpegPath,
          "DeepFilterNet3 completed but output file not found or empty", true },
        { "killed while writing",  "killed", 48000.0, standIn, ffmpegPath,
          "DeepFilterNet3 process failed (exit code 0): (ended by signal 9)", true },
        { "killed while writing, resampled", "killed", 44100.0, standIn, ffmpegPath,
          "DeepFilterNet3 process failed (exit code 0): (ended by signal 9)", true },
        { "empty path",       "",        48000.0, {},      ffmpegPath,
          "DeepFilterNet3 process failed (exit code 255): ", false },
        { "no FFmpeg",        "",        44100.0, standIn, "/nonexistent/ffmpeg",
          "Failed to resample input to 48kHz for DeepFilterNet3", false },
        { "unreadable input", "",        0.0,     standIn, ffmpegPath,
          "Cannot read input WAV file", false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        directory.deleteRecursively();
        directory.createDirectory();
        log.clear();

        if (c.sampleRate > 0.0)
            writeTone (input, c.sampleRate);
        else
            input.replaceWithText ("not audio at all");

        const auto inputBefore = contentsOf (input);
        const ScopedEnvironment mode ("VOXMENDER_STANDIN_MODE", c.mode);
        config.deepFilterPath = c.deepFilterPath;
        config.ffmpegPath = c.ffmpegPath;

        expectPassthrough (NoiseReducer::process (input, target, config), input, c.reason);

        EXPECT_EQ (contentsOf (input), inputBefore);
        EXPECT_FALSE (target.exists());

        // Only what DeepFilterNet3 left behind may stay, inside the call's own directory.
        const auto leftovers = listTree (directory);

        if (c.leavesOutput)
        {
            ASSERT_EQ (leftovers.size(), 4) << leftovers.joinIntoString (" | ");
            EXPECT_TRUE (leftovers[2].endsWith ("_DeepFilterNet3.wav")) << leftovers[2];
        }
        else
        {
            EXPECT_EQ (leftovers, juce::StringArray ("take one.wav"));
        }
    }
}

TEST_F (NoiseReducerTest, OldFileAtTheTargetIsNeverTakenForTheOutput)
{
    // The target bears the name DeepFilterNet3 gives its output; a leftover from an
    // earlier run must be replaced, never mistaken for this run's output.
    const auto namedTarget = directory.getChildFile ("take one_DeepFilterNet3.wav");

    for (const char* mode : { "nothing", "" })
    {
        SCOPED_TRACE (mode);
        log.clear();
        writeTone (input, 48000.0);
        writeTone (namedTarget, 48000.0, 0.9);
        const ScopedEnvironment standInMode ("VOXMENDER_STANDIN_MODE", mode);

        const auto result = NoiseReducer::process (input, namedTarget, config);

        if (juce::String (mode) == "nothing")
        {
            expectPassthrough (result, input, "DeepFilterNet3 completed but output file not found or empty");
        }
        else
        {
            EXPECT_EQ (result.engine, NoiseReducer::deepFilterNet3);
            EXPECT_NEAR (peakOf (readWav (namedTarget)), standInGain * toneAmplitude, 0.01);
        }
    }
}

TEST_F (NoiseReducerTest, OutputNamedLikeItsInputLeavesTheInputAlone)
{
    const ScopedEnvironment mode ("VOXMENDER_STANDIN_MODE", "plain");

    for (const double sampleRate : { 48000.0, 44100.0 })
    {
        SCOPED_TRACE (sampleRate);
        writeTone (input, sampleRate);
        const auto inputBefore = contentsOf (input);

        const auto result = NoiseReducer::process (input, target, config);

        EXPECT_EQ (result.engine, NoiseReducer::deepFilterNet3);
        EXPECT_EQ (contentsOf (input), inputBefore);
        EXPECT_NEAR (peakOf (readWav (target)), standInGain * toneAmplitude, 0.01);
        EXPECT_EQ (readWav (target).sampleRate, sampleRate);
    }
}

TEST_F (NoiseReducerTest, FailedConversionBackLeavesTheTargetAtTheModelRate)
{
    // An FFmpeg that converts to 48 kHz but fails on the way back; the last argument
    // is the file it is asked to write.
    for (const char* failure : { "exit 1", "for last; do :; done; printf RIFF > \"$last\"; kill -KILL $$" })
    {
        SCOPED_TRACE (failure);
        directory.deleteRecursively();
        directory.createDirectory();

        const ScriptedProgram halfFFmpeg (directory, "ffmpeg", "case \" $* \" in *\" -ar 48000 \"*) exec '" + ffmpegPath
                                                               + "' \"$@\";; esac\n" + failure);
        config.ffmpegPath = halfFFmpeg.program.getFullPathName();

        writeTone (input, 44100.0);
        const auto result = NoiseReducer::process (input, target, config);

        EXPECT_TRUE (result.success);
        EXPECT_EQ (result.engine, NoiseReducer::deepFilterNet3);
        EXPECT_EQ (result.outputFile, target);

        const auto denoised = readWav (target);
        EXPECT_EQ (denoised.sampleRate, 48000.0);
        EXPECT_NEAR (peakOf (denoised), standInGain * toneAmplitude, 0.01);
        EXPECT_EQ (listTree (directory), juce::StringArray ("_stage1_denoised.wav", "take one.wav"));
    }
}

TEST_F (NoiseReducerTest, DenoisedAudioMustHaveTheInputsChannelsRateAndLength)
{
    const juce::String mismatch ("DeepFilterNet3 output does not match its input: ");

    struct Case { const char* mode; double sampleRate; int numChannels; const char* found; };

    // found: what the message says the output holds (or its start); nothing when it is accepted.
    const Case cases[] = {
        { "pad:8",     48000.0, 1, nullptr },   // within the 10 ms a resampling round trip may move
        { "pad:12",    48000.0, 1, "got 1 channels, 48000Hz, 0.262s" },
        { "half",      48000.0, 1, "got 1 channels, 48000Hz, 0.125s" },
        { "half",      44100.0, 1, "got 1 channels, 44100Hz, 0.125s" },
        { "long",      48000.0, 1, "got 1 channels, 48000Hz, 2.500s" },
        { "rate",      48000.0, 2, "got 2 channels, 16000Hz, 0.250s" },
        { "mono",      48000.0, 2, "got 1 channels, 48000Hz, 0.250s" },
        { "mono",      44100.0, 2, "got 1 channels, 44100Hz, 0.250s" },
        { "truncated", 48000.0, 2, "got 2 channels, 48000Hz, 0.125s" },
        { "truncated", 44100.0, 1, "got 1 channels, 44100Hz, 0.12" },
        { "garbage",   48000.0, 1, "not a readable audio file" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.mode) + " at " + juce::String (c.sampleRate) + " Hz, "
                      + juce::String (c.numChannels) + " channels");
        directory.deleteRecursively();
        directory.createDirectory();
        log.clear();

        writeTone (input, c.sampleRate, toneAmplitude, c.numChannels);
        const auto inputBefore = contentsOf (input);
        const ScopedEnvironment mode ("VOXMENDER_STANDIN_MODE", c.mode);

        const auto result = NoiseReducer::process (input, target, config);

        if (c.found == nullptr)
        {
            EXPECT_EQ (result.engine, NoiseReducer::deepFilterNet3);
            EXPECT_EQ (result.outputFile, target);
            continue;
        }

        EXPECT_EQ (result.engine, NoiseReducer::passthrough);
        EXPECT_EQ (result.outputFile, input);
        const auto reason = loggedFailureReason();
        EXPECT_TRUE (reason.startsWith (mismatch)) << reason;
        EXPECT_TRUE (reason.contains (c.found)) << reason;

        // The rejected audio is never left where the caller takes the denoised audio from.
        EXPECT_FALSE (target.exists());
        EXPECT_EQ (contentsOf (input), inputBefore);
        EXPECT_TRUE (listTree (directory).joinIntoString ("\n").contains ("/_stage1_denoised.wav"));
    }
}

TEST_F (NoiseReducerTest, ExpectedLengthAndRateAreThoseOfTheInput)
{
    // The message names what the input has, not what the denoiser was fed.
    writeTone (input, 22050.0, toneAmplitude, 2);
    const ScopedEnvironment mode ("VOXMENDER_STANDIN_MODE", "half");

    NoiseReducer::process (input, target, config);

    EXPECT_EQ (loggedFailureReason(), "DeepFilterNet3 output does not match its input: "
                                      "expected 2 channels, 22050Hz, 0.250s; got 2 channels, 22050Hz, 0.125s");
}

TEST_F (NoiseReducerTest, OggVorbisInsideAWavIsADenoisedFileOfFullLength)
{
    // A denoiser that hands back, under the input's name, a WAV holding Ogg Vorbis.
    writeTone (input, 48000.0);
    const auto oggInWav = directory.getSiblingFile (directory.getFileName() + "-ogg.wav");
    writeOggVorbisInWav (oggInWav, makeSine (1, 12000, 48000.0, 1000.0, toneAmplitude), 48000.0);
    const ScriptedProgram denoiser (directory, "deepfilter", "cp \"" + oggInWav.getFullPathName() + "\" \"$3/$(basename \"$1\")\"");
    config.deepFilterPath = denoiser.program.getFullPathName();

    const auto result = NoiseReducer::process (input, target, config);
    oggInWav.deleteFile();

    EXPECT_EQ (result.engine, NoiseReducer::deepFilterNet3) << loggedFailureReason();
    EXPECT_EQ (result.outputFile, target);
}

TEST_F (NoiseReducerTest, OnlyUncompressedSamplesAreCountedFromTheirBytes)
{
    constexpr int numFrames = 4800;
    constexpr double rate = 48000.0;
    const auto sine = [] (int numChannels) { return makeSine (numChannels, numFrames, rate, 1000.0, toneAmplitude); };

    const auto writeAiff = [] (const juce::File& file, const juce::AudioBuffer<float>& buffer)
    {
        auto stream = file.createOutputStream();
        juce::AiffAudioFormat aiff;
        std::unique_ptr<juce::AudioFormatWriter> writer (aiff.createWriterFor (stream.get(), rate, 1, 16, {}, 0));
        ASSERT_NE (writer, nullptr);
        stream.release();
        writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples());
    };

    struct Case
    {
        const char* name;
        const char* fileName;   // the readers are chosen by the file's extension
        std::function<void (const juce::File&)> write;
        juce::int64 bytesPerFrame;   // of the samples as stored; 0 leaves the file whole
        int formatTag;               // the WAV format tag the writer must have used; 0 for none
        juce::int64 expectedFrames;
    };

    const Case cases[] = {
        { "16-bit PCM WAV",          "take.wav",  [&] (auto& f) { writeWav (f, sine (1), rate); },     2,  1,      numFrames / 2 },
        { "extensible PCM WAV",      "take.wav",  [&] (auto& f) { writeWav (f, sine (3), rate); },     6,  0xfffe, numFrames / 2 },
        { "extensible float WAV",    "take.wav",  [&] (auto& f) { writeWav (f, sine (3), rate, 32); }, 12, 0xfffe, numFrames / 2 },
        { "AIFF",                    "take.aiff", [&] (auto& f) { writeAiff (f, sine (1)); },          2,  0,      numFrames / 2 },
        { "AIFC, little-endian PCM", "take.aif",
          [&] (auto& f) { writeAifc (f, "sowt", numFrames, 16, makeNoiseBytes (2 * numFrames)); },     2,  0,      numFrames / 2 },

        // Its bytes say nothing of its frames, so it is not cut and the reader's count stands.
        { "Ogg Vorbis in a WAV",     "take.wav",  [&] (auto& f) { writeOggVorbisInWav (f, sine (1), rate); }, 0, 0x6771, numFrames },
    };

    juce::AudioFormatManager formats;
    formats.registerBasicFormats();

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        directory.deleteRecursively();
        directory.createDirectory();

        const auto file = directory.getChildFile (c.fileName);
        c.write (file);

        if (c.formatTag != 0)
        {
            ASSERT_EQ (formatTagOf (file), c.formatTag);
        }

        // Half the samples lost at the end, under a header that still claims them all.
        const auto bytesLost = c.bytesPerFrame * numFrames / 2;
        ASSERT_EQ (truncate (file.getFullPathName().toRawUTF8(), (off_t) (file.getSize() - bytesLost)), 0);

        std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));
        ASSERT_NE (reader, nullptr);
        EXPECT_EQ (reader->lengthInSamples, numFrames);
        EXPECT_EQ (NoiseReducer::countFramesPresent (file, *reader), c.expectedFrames);
    }
}

TEST_F (NoiseReducerTest, WorkDirectoryThatCannotBeMadeFailsTheCall)
{
    writeTone (input, 48000.0);
    const auto notADirectory = directory.getChildFile ("a file");
    notADirectory.replaceWithText ("in the way");
    const auto unreachableTarget = notADirectory.getChildFile ("_stage1_denoised.wav");

    expectPassthrough (NoiseReducer::process (input, unreachableTarget, config), input,
                       "Cannot create a work directory for DeepFilterNet3 in " + notADirectory.getFullPathName());
    EXPECT_FALSE (argumentsFile.exists()) << "DeepFilterNet3 ran";
}

TEST_F (NoiseReducerTest, HelperTheDenoiserLeavesRunningEndsWithIt)
{
    const auto pidFile = directory.getSiblingFile (directory.getFileName() + "-pids.txt");
    const ScopedEnvironment recordPids ("VOXMENDER_STANDIN_PIDS", pidFile.getFullPathName());
    writeTone (input, 48000.0);

    for (const char* helper : { "holds-output", "detached" })
    {
        SCOPED_TRACE (helper);
        pidFile.deleteFile();
        const ScopedEnvironment helperKind ("VOXMENDER_STANDIN_HELPER", helper);

        const auto result = NoiseReducer::process (input, target, config);

        EXPECT_EQ (result.engine, NoiseReducer::deepFilterNet3);
        EXPECT_LT (result.processingTimeMs, 10000.0) << "the call waited for the helper";

        const auto pids = waitForPids (pidFile, 2);
        ASSERT_EQ (pids.size(), 2);

        for (const auto pid : pids)
            EXPECT_TRUE (endsSoon (pid)) << pid;
    }

    pidFile.deleteFile();
}

TEST_F (NoiseReducerTest, CallsAtTheSameTimeKeepTheirOwnFiles)
{
    // Eight inputs in one folder, denoised into one folder at once; each tone has its
    // own level, so each target shows whose output it holds.
    constexpr int numCalls = 8;
    const auto amplitudeOf = [] (int call) { return 0.08 * (call + 1); };

    juce::Array<juce::File> inputs, targets;

    for (int call = 0; call < numCalls; ++call)
    {
        inputs.add (writeTone (directory.getChildFile ("in" + juce::String (call) + ".wav"), 44100.0, amplitudeOf (call)));
        targets.add (directory.getChildFile ("out" + juce::String (call) + ".wav"));
    }

    NoiseReducer::Result results[numCalls];
    std::vector<std::thread> threads;

    for (int call = 0; call < numCalls; ++call)
        threads.emplace_back ([&, call] { results[call] = NoiseReducer::process (inputs[call], targets[call], config); });

    for (auto& thread : threads)
        thread.join();

    for (int call = 0; call < numCalls; ++call)
    {
        SCOPED_TRACE (call);
        EXPECT_EQ (results[call].engine, NoiseReducer::deepFilterNet3);
        EXPECT_EQ (results[call].outputFile, targets[call]);

        const auto denoised = readWav (targets[call]);
        EXPECT_EQ (denoised.sampleRate, 44100.0);
        EXPECT_NEAR (peakOf (denoised), standInGain * amplitudeOf (call), 0.01);
    }

    EXPECT_EQ (listTree (directory).size(), 2 * numCalls);
}

//==============================================================================
namespace
{
    /** The command lines a recording FFmpeg wrote, one list per run. */
    juce::Array<juce::StringArray> recordedRuns (const juce::File& record)
    {
        juce::Array<juce::StringArray> runs;
        juce::StringArray current;

        for (const auto& line : juce::StringArray::fromLines (record.loadFileAsString().trimEnd()))
        {
            if (line == "--")
            {
                runs.add (current);
                current.clear();
            }
            else
            {
                current.add (line);
            }
        }

        return runs;
    }
}

TEST_F (NoiseReducerTest, FailedResamplingLeavesNoCopyAndNeverRunsDeepFilterNet3)
{
    struct Case { const char* name; double sampleRate; const char* rateShown; const char* ffmpegBody; };

    // The last argument is the file FFmpeg is asked to write.
    const Case cases[] = {
        { "exits 1 after writing part of the copy", 22050.0,   "22050",
          "for last; do :; done; printf RIFF > \"$last\"; exit 1" },
        { "exits 0 leaving an empty copy",          1000000.0, "1e+06",
          "for last; do :; done; : > \"$last\"; exit 0" },
        { "exits 0 writing nothing",                88200.0,   "88200",
          "exit 0" },
        { "killed after writing part of the copy",  32000.0,   "32000",
          "for last; do :; done; printf RIFF > \"$last\"; kill -KILL $$" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        directory.deleteRecursively();
        directory.createDirectory();
        argumentsFile.deleteFile();
        log.clear();

        writeTone (input, c.sampleRate);
        const auto inputBefore = contentsOf (input);
        const ScriptedProgram ffmpeg (directory, "ffmpeg", c.ffmpegBody);
        config.ffmpegPath = ffmpeg.program.getFullPathName();

        expectPassthrough (NoiseReducer::process (input, target, config), input,
                           "Failed to resample input to 48kHz for DeepFilterNet3");

        EXPECT_TRUE (log.contains ("[NoiseReducer/DF3] Input is " + juce::String (c.rateShown)
                                   + "Hz, resampling to 48000Hz"));
        EXPECT_FALSE (argumentsFile.exists()) << "DeepFilterNet3 ran";
        EXPECT_EQ (contentsOf (input), inputBefore);
        EXPECT_EQ (listTree (directory), juce::StringArray ("take one.wav"));
    }
}

TEST_F (NoiseReducerTest, FFmpegCommandLinesCarryEveryItemInOrder)
{
    const auto record = directory.getSiblingFile (directory.getFileName() + "-ffmpeg.txt");
    const ScriptedProgram ffmpeg (directory, "ffmpeg", "printf '%s\\n' \"$0\" \"$@\" -- >> '" + record.getFullPathName()
                                                + "'\nexec '" + ffmpegPath + "' \"$@\"");
    config.ffmpegPath = ffmpeg.program.getFullPathName();
    writeTone (input, 22050.0);

    const auto result = NoiseReducer::process (input, target, config);
    const auto runs = recordedRuns (record);
    record.deleteFile();

    EXPECT_EQ (result.engine, NoiseReducer::deepFilterNet3);
    EXPECT_EQ (readWav (target).sampleRate, 22050.0);
    ASSERT_EQ (runs.size(), 2);

    const juce::File copy (runs[0][8]), convertedBack (runs[1][8]);
    EXPECT_EQ (runs[0], juce::StringArray (config.ffmpegPath, "-i", input.getFullPathName(), "-ar", "48000",
                                           "-acodec", "pcm_s16le", "-y", copy.getFullPathName()));
    EXPECT_EQ (runs[1], juce::StringArray (config.ffmpegPath, "-i", target.getFullPathName(), "-ar", "22050",
                                           "-acodec", "pcm_s16le", "-y", convertedBack.getFullPathName()));

    EXPECT_EQ (copy.getFileName(), "_df3_resampled_48k.wav");
    EXPECT_EQ (convertedBack.getFileName(), "_df3_resample_back.wav");
    EXPECT_EQ (convertedBack.getParentDirectory(), copy.getParentDirectory());
    EXPECT_EQ (recordedArguments()[0], copy.getFullPathName());
}

TEST_F (NoiseReducerTest, OutputUnderAnotherNameIsTakenOnlyAsAWavHoldingTheBaseName)
{
    struct Case { const char* outputName; double sampleRate; bool found; };

    const Case cases[] = {
        { "take one_cleaned.WAV",             48000.0, true  },
        { "denoised _df3_resampled_48k.wav",  44100.0, true  },   // the copy's name is the base
        { "TAKE ONE_cleaned.wav",             48000.0, false },
        { "take one_cleaned.flac",            48000.0, false },
        { "cleaned.wav",                      48000.0, false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.outputName);
        directory.deleteRecursively();
        directory.createDirectory();
        log.clear();

        writeTone (input, c.sampleRate);
        const ScopedEnvironment outputName ("VOXMENDER_STANDIN_OUTPUT", c.outputName);

        const auto result = NoiseReducer::process (input, target, config);

        if (c.found)
        {
            EXPECT_EQ (result.engine, NoiseReducer::deepFilterNet3);
            const auto denoised = readWav (target);
            EXPECT_EQ (denoised.sampleRate, c.sampleRate);
            EXPECT_NEAR (peakOf (denoised), standInGain * toneAmplitude, 0.01);
        }
        else
        {
            expectPassthrough (result, input, "DeepFilterNet3 completed but output file not found or empty");
            EXPECT_FALSE (target.exists());
        }
    }
}

TEST_F (NoiseReducerTest, TargetThatIsTheInputIsNeverWrittenOver)
{
    writeTone (input, 48000.0);
    const auto inputBefore = contentsOf (input);

    expectPassthrough (NoiseReducer::process (input, input, config), input, "Failed to move DF3 output to target path");

    EXPECT_EQ (contentsOf (input), inputBefore);
}

//==============================================================================
namespace
{
    /** How the program is started: its log (both streams) to a file or into a pipe the
        test holds, or else to /dev/null; and with SIGCHLD ignored, as some supervisors
        and job runners start their children.
    */
    struct Launch
    {
        juce::File logFile;
        bool logToPipe = false;
        bool ignoreChildSignal = false;
    };

    /** The built program, started with the given arguments; killed when the test lets
        go of it before it has ended.
    */
    class ProgramProcess
    {
    public:
        explicit ProgramProcess (const juce::StringArray& args, const Launch& launch = {})
        {
            std::vector<std::string> items { VOXMENDER_PROGRAM };

            for (const auto& arg : args)
                items.push_back (arg.toStdString());

            std::vector<char*> argv;

            for (auto& item : items)
                argv.push_back (item.data());

            argv.push_back (nullptr);

            const auto logPath = launch.logFile.getFullPathName().toStdString();
            int logPipe[2] = { -1, -1 };

            if (launch.logToPipe && pipe (logPipe) != 0)
                return;

            pid = fork();

            if (pid == 0)
            {
                // The program must not hold the test's end, or the pipe would never lose its reader.
                if (launch.logToPipe)
                    close (logPipe[0]);

                const auto logFd = launch.logToPipe ? logPipe[1]
                                 : ! logPath.empty() ? open (logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
                                                     : open ("/dev/null", O_WRONLY);
                becomeProgram (argv.data(), logFd, launch.ignoreChildSignal);
            }

            if (launch.logToPipe)
            {
                close (logPipe[1]);
                logReadEnd = logPipe[0];
            }
        }

        ~ProgramProcess()
        {
            closeLog();

            if (pid > 0 && ! waited)
            {
                ::kill (pid, SIGKILL);
                waitForEnd();
            }
        }

        void sendSignal (int signalNumber) const   { ::kill (pid, signalNumber); }

        /** Closes the test's end of the log pipe, as a log viewer that is closed does. */
        void closeLog()
        {
            if (logReadEnd >= 0)
                close (logReadEnd);

            logReadEnd = -1;
        }

        /** The program's wait status, once it has ended. */
        int waitForEnd()
        {
            int status = 0;
            waited = ::waitpid (pid, &status, 0) == pid;
            return status;
        }

    private:
        pid_t pid = -1;
        int logReadEnd = -1;
        bool waited = false;

        /** In the child: the ending signals at their defaults, as a terminal starts a
            program, whatever this test was started with, and SIGCHLD as asked.
        */
        [[noreturn]] static void becomeProgram (char* const* argv, int logFd, bool ignoreChildSignal)
        {
            for (const auto signalNumber : { SIGHUP, SIGINT, SIGPIPE, SIGTERM })
                signal (signalNumber, SIG_DFL);

            signal (SIGCHLD, ignoreChildSignal ? SIG_IGN : SIG_DFL);

            sigset_t none;
            sigemptyset (&none);
            sigprocmask (SIG_SETMASK, &none, nullptr);

            dup2 (logFd, STDOUT_FILENO);
            dup2 (logFd, STDERR_FILENO);

            execv (VOXMENDER_PROGRAM, argv);
            _exit (127);
        }
    };
}

namespace
{
    /** The program ended by signalNumber, and the denoiser and its helper ended with it. */
    void expectEndedBySignalWithTheDenoiser (int status, int signalNumber, const juce::Array<pid_t>& standInPids)
    {
        EXPECT_TRUE (WIFSIGNALED (status)) << "wait status " << status;
        EXPECT_EQ (WTERMSIG (status), signalNumber);

        for (const auto pid : standInPids)
            EXPECT_TRUE (endsSoon (pid)) << pid;
    }
}

TEST_F (NoiseReducerTest, EndingTheProgramEndsTheDenoiserAndItsHelper)
{
    // The denoiser hangs with a helper of its own; the program is interrupted or
    // terminated while it waits for them.
    const auto pidFile = directory.getSiblingFile (directory.getFileName() + "-pids.txt");
    const ScopedEnvironment mode ("VOXMENDER_STANDIN_MODE", "hang");
    const ScopedEnvironment helper ("VOXMENDER_STANDIN_HELPER", "detached");
    const ScopedEnvironment recordPids ("VOXMENDER_STANDIN_PIDS", pidFile.getFullPathName());
    writeTone (input, 48000.0);

    for (const int signalNumber : { SIGTERM, SIGINT, SIGHUP, SIGPIPE })
    {
        SCOPED_TRACE (signalNumber);
        pidFile.deleteFile();

        ProgramProcess program ({ "--input", input.getFullPathName(),
                                  "--output", directory.getChildFile ("out").getChildFile ("take one.wav").getFullPathName(),
                                  "--deepfilter-path", VOXMENDER_STANDIN });

        const auto standInPids = waitForPids (pidFile, 2);
        ASSERT_EQ (standInPids.size(), 2) << "the denoiser did not start";

        program.sendSignal (signalNumber);
        expectEndedBySignalWithTheDenoiser (program.waitForEnd(), signalNumber, standInPids);
    }

    pidFile.deleteFile();
}

TEST_F (NoiseReducerTest, ClosingTheLogPipeEndsTheDenoiserInFlight)
{
    // Two takes at once: one denoiser hangs with a helper of its own while the other
    // job goes on, once the pipe's reader has gone, and logs into it.
    if (chooseWorkerCount (std::thread::hardware_concurrency(), readProcessorBrand()).workerCount < 2)
        GTEST_SKIP() << "the program runs one job at a time here";

    const auto takes = directory.getChildFile ("takes");
    takes.createDirectory();
    writeTone (takes.getChildFile ("first.wav"), 48000.0);
    writeTone (takes.getChildFile ("second.wav"), 48000.0);

    const auto pidFile = directory.getSiblingFile (directory.getFileName() + "-pids.txt");
    const auto claim = directory.getSiblingFile (directory.getFileName() + "-claim");
    const ScopedEnvironment one ("VOXMENDER_STANDIN_ONE", claim.getFullPathName());
    const ScopedEnvironment mode ("VOXMENDER_STANDIN_MODE", "hang");
    const ScopedEnvironment helper ("VOXMENDER_STANDIN_HELPER", "detached");
    const ScopedEnvironment recordPids ("VOXMENDER_STANDIN_PIDS", pidFile.getFullPathName());
    const auto go = directory.getSiblingFile (directory.getFileName() + "-go");
    const ScopedEnvironment goAhead ("VOXMENDER_STANDIN_GO", go.getFullPathName());

    ProgramProcess program ({ "--input-dir", takes.getFullPathName(),
                              "--output-dir", directory.getChildFile ("out").getFullPathName(),
                              "--deepfilter-path", VOXMENDER_STANDIN },
                            Launch { {}, true, false });

    const auto standInPids = waitForPids (pidFile, 2);
    ASSERT_EQ (standInPids.size(), 2) << "the denoiser did not start";

    program.closeLog();
    go.create();
    expectEndedBySignalWithTheDenoiser (program.waitForEnd(), SIGPIPE, standInPids);

    pidFile.deleteFile();
    claim.deleteFile();
    go.deleteFile();
}

TEST_F (NoiseReducerTest, StartedWithChildSignalIgnoredADenoiserThatFailedStillFails)
{
    // The stand-in writes good audio either way; only its exit status tells the two apart.
    struct Case { const char* mode; const char* engine; };

    const Case cases[] = {
        { "exit:7", "None (passthrough)" },
        { "exit:0", "DeepFilterNet3" },
    };

    writeTone (input, 48000.0);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.mode);
        const ScopedEnvironment mode ("VOXMENDER_STANDIN_MODE", c.mode);
        juce::MemoryBlock masters[2];

        for (const bool ignoreChildSignal : { false, true })
        {
            const auto output = directory.getChildFile ("out").getChildFile (ignoreChildSignal ? "ignored.wav" : "usual.wav");
            const auto log = directory.getChildFile ("log.txt");

            ProgramProcess program ({ "--input", input.getFullPathName(), "--output", output.getFullPathName(),
                                      "--deepfilter-path", VOXMENDER_STANDIN },
                                    Launch { log, false, ignoreChildSignal });
            const auto status = program.waitForEnd();

            EXPECT_TRUE (WIFEXITED (status) && WEXITSTATUS (status) == 0) << "wait status " << status;
            EXPECT_TRUE (log.loadFileAsString().contains ("[AudioPipeline] Denoise complete. Engine: " + juce::String (c.engine)))
                << ignoreChildSignal << "\n" << log.loadFileAsString();
            masters[ignoreChildSignal ? 1 : 0] = contentsOf (output);
        }

        EXPECT_GT (masters[0].getSize(), 44u);
        EXPECT_TRUE (masters[0] == masters[1]) << "the master differs when SIGCHLD is ignored";
    }
}

TEST_F (NoiseReducerTest, TheDenoiserIsNotHeldBackWhenItPrintsALotOrIsStopped)
{
    // 32 MiB of progress would take the runner minutes at a few kilobytes per step; a
    // stop of a second is no ending.
    for (const auto* mode : { "flood:32", "stop" })
    {
        SCOPED_TRACE (mode);
        const ScopedEnvironment standInMode ("VOXMENDER_STANDIN_MODE", mode);
        writeTone (input, 48000.0);
        const auto target = directory.getChildFile ("denoised.wav");
        target.deleteFile();

        const auto result = NoiseReducer::process (input, target, config);

        EXPECT_EQ (result.engine, NoiseReducer::deepFilterNet3) << result.errorMessage;
        EXPECT_NEAR (peakOf (readWav (target)), standInGain * toneAmplitude, 0.01);
    }
}
