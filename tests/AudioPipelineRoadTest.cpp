// One file's whole road through AudioPipeline::process: short generated speech-like
// recordings, the denoiser stand-in and the real FFmpeg; what the log says, which
// files are left where, and what the output holds.

#include <gtest/gtest.h>

#include "AudioPipeline.h"
#include "TestFiles.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace
{
    /** When set, someone else takes the name of the next work directory just before the road
        asks for it, and puts a file of theirs in it.
    */
    std::atomic<bool> takeNextWorkDirectoryName { false };
    std::string takenWorkDirectory;
}

#if defined (__GLIBC__)
// Every mkdir of the test program comes through here, so that a test can have a name taken
// first; otherwise it is the system's own.
extern "C" int mkdir (const char* path, mode_t mode) __THROW
{
    const auto* slash = std::strrchr (path, '/');
    const std::string name (slash != nullptr ? slash + 1 : path);

    if (name.rfind ("_pipeline_work_", 0) == 0 && takeNextWorkDirectoryName.exchange (false))
    {
        takenWorkDirectory = path;
        ::mkdirat (AT_FDCWD, path, mode);
        ::close (::open ((takenWorkDirectory + "/someone else's").c_str(), O_CREAT | O_WRONLY, 0644));
    }

    return ::mkdirat (AT_FDCWD, path, mode);
}
#endif

namespace
{
    using namespace testing_support;

    constexpr double rate = 48000.0;
    constexpr int twoSeconds = 96000;

    /** -5.5 dBFS, the peak every finished recording is trimmed to. */
    const float outputPeak = std::pow (10.0f, -0.275f);

    /** One step of a 16-bit sample. */
    constexpr float lsb16 = 1.0f / 32768.0f;

    const juce::String rule = juce::String::repeatedString ("=", 40);

    /** Lines that start with the prefix. */
    juce::StringArray linesStartingWith (const juce::StringArray& lines, const juce::String& prefix)
    {
        juce::StringArray found;

        for (const auto& line : lines)
            if (line.startsWith (prefix))
                found.add (line);

        return found;
    }

    bool hasLineStartingWith (const juce::StringArray& lines, const juce::String& prefix)
    {
        return ! linesStartingWith (lines, prefix).isEmpty();
    }

    /** Fails for the first expected line that does not follow the ones before it. */
    void expectInOrder (const juce::StringArray& lines, const juce::StringArray& expected)
    {
        int from = 0;

        for (const auto& line : expected)
        {
            const auto at = lines.indexOf (line, false, from);
            ASSERT_GE (at, 0) << "missing, or out of order: " << line;
            from = at + 1;
        }
    }

    /** The four-character chunk ids of a RIFF file, in order. */
    juce::StringArray chunkIdsOf (const juce::File& file)
    {
        juce::StringArray ids;
        juce::FileInputStream in (file);
        in.setPosition (12);

        while (in.getPosition() + 8 <= in.getTotalLength())
        {
            char id[5] = {};
            in.read (id, 4);
            const auto length = (juce::int64) (juce::uint32) in.readInt();
            ids.add (id);
            in.setPosition (in.getPosition() + length + (length & 1));
        }

        return ids;
    }

    //==============================================================================
    class AudioPipelineRoadTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            ASSERT_TRUE (findFFmpeg().isNotEmpty()) << "FFmpeg is needed for these tests and was not found";
            directory.createDirectory();
            config.deepFilterPath = VOXMENDER_STANDIN;
            config.ffmpegPath = findFFmpeg();
        }

        void TearDown() override
        {
            directory.deleteRecursively();
            AudioPipeline::protectRunInputs ({});
        }

        void writeSpeech (const juce::File& file, int numChannels = 1, double sampleRate = rate,
                          juce::int64 seed = 42)
        {
            writeWav (file, makeSpeechLike (numChannels, (int) (2 * sampleRate), sampleRate, seed), sampleRate);
        }

        /** Starts the directory afresh for the next case of a table. */
        void resetDirectory()
        {
            directory.deleteRecursively();
            directory.createDirectory();
            log.clear();
        }

        AudioPipeline::Result run()   { return AudioPipeline::process (input, output, config); }

        const juce::File directory = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                         .getChildFile ("voxmender-road-" + juce::Uuid().toString());
        const juce::File input = directory.getChildFile ("take.wav");
        const juce::File output = directory.getChildFile ("mastered.wav");
        const juce::File prefiltered = directory.getChildFile ("_stage0_prefiltered.wav");
        const juce::File denoised = directory.getChildFile ("_stage1_denoised.wav");
        const juce::File feed = directory.getChildFile ("take_asr_feed.wav");

        CapturingLogger log;
        AudioPipeline::Config config;
    };
}

//==============================================================================
TEST_F (AudioPipelineRoadTest, DefaultRunLogsEveryStepAndLeavesTheListedFiles)
{
    writeSpeech (input);
    const auto result = run();

    EXPECT_TRUE (result.success) << result.errorMessage;
    EXPECT_EQ (result.errorMessage, "");
    EXPECT_EQ (result.denoiseEngine, "DeepFilterNet3");
    EXPECT_TRUE (result.analysisJSON.startsWith ("{\"integratedLUFS\":")) << result.analysisJSON;
    EXPECT_GT (result.processingTimeMs, 0.0);

    const auto lines = log.getMessages();
    EXPECT_EQ (lines[0], rule);
    EXPECT_EQ (lines[lines.size() - 1], rule);

    expectInOrder (lines, {
        "[AudioPipeline] Processing: " + input.getFullPathName(),
        "[AudioPipeline] Denoise=ON Compressor=ON EQ=ON Voice=Male",
        "[AudioPipeline] Pass 1: Offline Analysis",
        "[AudioPipeline] Stage 1.5: Pre-Filtering (HPF & Grid Hum)",
        "[AudioPipeline/PreFilter] Applied HPF at 90Hz",
        "[AudioPipeline] Stage 1: Noise Reduction",
        "[AudioPipeline] Denoise complete. Engine: DeepFilterNet3",
        "[AudioPipeline/ASR Hook] Exported ASR feed to: take_asr_feed.wav",
        "[AudioPipeline] Loaded audio: 1ch, 48000Hz, 96000 samples (2.00s)",
        "[AudioPipeline] Stage 1.6: Pre-Gain Leveling (Target: -18.0 LUFS)",
        "[AudioPipeline] Stage 1.7: Dynamic De-esser",
        "[AudioPipeline] Stage 1.8: Downward Expander",
        "[AudioPipeline] Stage 3: Corrective & Enhancement EQ (Male)",
        "[AudioPipeline] Stage 2: Opto-Style Serial Leveler",
        "[AudioPipeline] Stage 4: Harmonic Saturation",
        "[AudioPipeline] Stage 5: Broadcast Normalization (Target: -18.0 LUFS)",
        "[AudioPipeline] Stage 6: True Peak Limiter",
        "[GainStaging] Peak after Limiter & Output Trim: -5.50 dBFS",
    });

    // The AutoMap line follows the first analysis report and comes before the pre-filter.
    const auto autoMap = linesStartingWith (lines, "[AutoMap] DF3 Atten=");
    ASSERT_EQ (autoMap.size(), 1);
    EXPECT_TRUE (autoMap[0].matchesWildcard ("[AutoMap] DF3 Atten=*.0 Comp Ratio=*.0:1 MudCut=*dB EQ Air=*dB Sibilance=*dBFS", false))
        << autoMap[0];
    EXPECT_LT (lines.indexOf (autoMap[0]), lines.indexOf ("[AudioPipeline] Stage 1.5: Pre-Filtering (HPF & Grid Hum)"));

    juce::StringArray peakNames;

    for (const auto& line : linesStartingWith (lines, "[GainStaging] Peak after "))
        peakNames.add (line.fromFirstOccurrenceOf ("after ", false, false).upToFirstOccurrenceOf (": ", false, false));

    EXPECT_EQ (peakNames, juce::StringArray ({ "File Load", "PreGain", "De-esser", "Expander", "Corrective/Enhancement EQ",
                                                "Compressor", "Saturation", "Final Normalization", "Limiter & Output Trim" }));

    EXPECT_EQ (linesStartingWith (lines, "[AudioAnalyzer] Pass 1").size(), 3) << "three analyses";
    EXPECT_EQ (linesStartingWith (lines, "[AudioPipeline] COMPLETE. Total time: ").size(), 1);

    // The stage files and the feed are beside the output; nothing of the call's own work is left.
    EXPECT_EQ (listTree (directory), juce::StringArray ({ "_stage0_prefiltered.wav", "mastered.wav", "take.wav",
                                                          "take_asr_feed.wav" }));
    EXPECT_NEAR (peakOf (readWav (feed)), 0.5f * peakOf (readWav (prefiltered)), 2 * lsb16) << "the feed is the denoised audio";
}

TEST_F (AudioPipelineRoadTest, OutputIs16BitAtTheWorkingRateWithItsPeakAtMinus5Point5)
{
    struct Case { const char* name; int numChannels; double sampleRate; bool denoise; };

    const Case cases[] = {
        { "mono 48 kHz, denoised",                  1, 48000.0, true  },
        { "stereo 44.1 kHz, resampled around DF3",  2, 44100.0, true  },
        { "stereo 22.05 kHz, no denoising",         2, 22050.0, false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        resetDirectory();
        writeSpeech (input, c.numChannels, c.sampleRate);
        config.denoise = c.denoise;

        const auto result = run();
        ASSERT_TRUE (result.success) << result.errorMessage;

        const auto mastered = readWav (output);
        EXPECT_EQ (mastered.sampleRate, c.sampleRate);
        EXPECT_EQ (mastered.bitsPerSample, 16);
        EXPECT_EQ (mastered.buffer.getNumChannels(), c.numChannels);
        EXPECT_EQ (mastered.buffer.getNumSamples(), (int) (2 * c.sampleRate));
        EXPECT_NEAR (peakOf (mastered), outputPeak, lsb16);

        for (const auto& id : chunkIdsOf (output))
            EXPECT_TRUE (id == "fmt " || id == "data" || id == "JUNK") << "metadata chunk " << id;
    }
}

TEST_F (AudioPipelineRoadTest, SilenceTakesNoGainAndNoTrim)
{
    writeWav (input, makeSilence (1, twoSeconds), rate);
    config.denoise = false;

    const auto result = run();
    ASSERT_TRUE (result.success) << result.errorMessage;

    const auto lines = log.getMessages();
    EXPECT_FALSE (hasLineStartingWith (lines, "[AudioPipeline/PreGain] "));
    EXPECT_FALSE (hasLineStartingWith (lines, "[AudioPipeline/Normalization] "));
    EXPECT_FALSE (hasLineStartingWith (lines, "[AudioPipeline/OutputTrim] "));
    EXPECT_TRUE (lines.contains ("[AudioPipeline/Expander] Applied Downward Expander (Threshold=-141.0dB, Ratio=2:1)"));
    EXPECT_TRUE (lines.contains ("[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold=-40.0dB)"));
    EXPECT_EQ (linesStartingWith (lines, "[GainStaging] Peak after ").size(), 9);

    for (const auto& line : linesStartingWith (lines, "[GainStaging] Peak after "))
        EXPECT_TRUE (line.endsWith (": -144.00 dBFS")) << line;

    EXPECT_EQ (peakOf (readWav (output)), 0.0f);
}

//==============================================================================
TEST (AudioPipelineAutoMap, BoundariesAreStrictAndNaNTakesTheLastChoice)
{
    const auto nan = std::numeric_limits<double>::quiet_NaN();

    struct Case
    {
        double snr, crest, tilt, noiseFloor;
        float attenuation, ratio, drive, mudCut, air, presence, expanderBase;
    };

    const Case cases[] = {
        //  snr      crest    tilt    floor      atten  ratio  drive  mud    air    pres  base
        { 14.999,    18.0,    -3.0,   -60.0,     15.0f, 2.0f, 0.2f,  0.0f,  2.0f, 3.0f, -57.0f },
        { 15.0,      18.001,  -3.001, -70.0,     12.0f, 4.0f, 0.5f, -3.0f,  4.0f, 3.0f, -67.0f },
        { 30.0,      0.0,     3.0,    -144.0,    12.0f, 2.0f, 0.2f,  0.0f,  2.0f, 3.0f, -141.0f },
        { 30.001,    25.0,    3.001,  -50.5,     10.0f, 4.0f, 0.5f,  0.0f, -2.0f, 1.0f, -47.5f },
        { nan,       nan,     nan,    -80.0,     12.0f, 2.0f, 0.2f,  0.0f,  2.0f, 3.0f, -77.0f },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "snr " << c.snr << ", crest " << c.crest << ", tilt " << c.tilt);

        AudioAnalyzer::AnalysisResult analysis;
        analysis.snrDB = c.snr;
        analysis.crestFactorDB = c.crest;
        analysis.spectralTiltDB = c.tilt;
        analysis.noiseFloorDBFS = c.noiseFloor;

        const auto settings = AudioPipeline::mapAnalysisToSettings (analysis);
        EXPECT_EQ (settings.attenuationLimitDB, c.attenuation);
        EXPECT_EQ (settings.compRatio, c.ratio);
        EXPECT_EQ (settings.saturationDriveDB, c.drive);
        EXPECT_EQ (settings.mudCutDB, c.mudCut);
        EXPECT_EQ (settings.eqAirDB, c.air);
        EXPECT_EQ (settings.presenceDB, c.presence);
        EXPECT_EQ (settings.expanderBaseDB, c.expanderBase);
    }

    // Without an analysis: no limit for the denoiser and the fixed drive of 2 dB.
    const AudioPipeline::AutoMapSettings fallback;
    EXPECT_EQ (fallback.attenuationLimitDB, 100.0f);
    EXPECT_EQ (fallback.saturationDriveDB, 2.0f);
    EXPECT_EQ (fallback.expanderBaseDB, -60.0f);
    EXPECT_EQ (fallback.eqAirDB, 2.0f);
    EXPECT_EQ (fallback.presenceDB, 3.0f);
    EXPECT_EQ (fallback.mudCutDB, 0.0f);
}

//==============================================================================
TEST (AudioPipelineStageChain, ThresholdsMoveByTheUncappedDistanceToTheTarget)
{
    // A recording far below the target: the pre-gain stops at +12 dB, the thresholds measured
    // before it move by the whole distance. Without the pre-gain only the de-esser's moves.
    const auto quiet = [] { auto b = makeSpeechLike (1, twoSeconds, rate); b.applyGain (0.02f); return b; }();

    juce::AudioBuffer<float> copy (quiet);
    AudioAnalyzer::AnalysisResult measured;
    {
        CapturingLogger quietLog;
        measured = AudioAnalyzer::analyze (copy, rate);
    }

    AudioPipeline::Config config;
    AudioPipeline::AutoMapSettings settings;
    settings.expanderBaseDB = -50.0f;

    const auto inputLUFS = (float) measured.integratedLUFS;
    const auto offset = config.targetLUFS - inputLUFS;
    ASSERT_GT (offset, 20.0f);

    const auto oneDecimal = [] (float value) { return juce::String (value, 1, false); };
    const auto deEsserThreshold = juce::jmax ((float) (measured.sibilanceDBFS + offset) - 2.0f, -40.0f);
    ASSERT_GT (deEsserThreshold, -40.0f) << "the sibilance must be loud enough to show the offset";

    for (const int bypass : { 0, 1 })
    {
        SCOPED_TRACE (bypass);
        CapturingLogger log;
        config.bypassStage = bypass;
        auto buffer = quiet;
        AudioPipeline::Result result;

        ASSERT_TRUE (AudioPipeline::runStageChain (buffer, rate, config, settings, result, 0.0));

        const auto lines = log.getMessages();
        EXPECT_EQ (lines.contains ("[AudioPipeline/PreGain] Input LUFS: " + oneDecimal (inputLUFS) + " -> Applying 12.0dB"),
                   bypass == 0);
        EXPECT_TRUE (lines.contains ("[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold="
                                     + oneDecimal (deEsserThreshold) + "dB)"));
        EXPECT_TRUE (lines.contains ("[AudioPipeline/Expander] Applied Downward Expander (Threshold="
                                     + oneDecimal (bypass == 0 ? -50.0f + offset : -50.0f) + "dB, Ratio=2:1)"));
    }
}

TEST (AudioPipelineStageChain, LoudRecordingIsTurnedDownByTheFullDifference)
{
    auto buffer = makeSpeechLike (2, twoSeconds, rate);
    buffer.applyGain (5.0f);

    juce::AudioBuffer<float> copy (buffer);
    CapturingLogger log;
    const auto inputLUFS = (float) AudioAnalyzer::analyze (copy, rate).integratedLUFS;
    ASSERT_GT (inputLUFS, -10.0f);
    log.clear();

    AudioPipeline::Config config;
    AudioPipeline::Result result;
    ASSERT_TRUE (AudioPipeline::runStageChain (buffer, rate, config, {}, result, 0.0));

    EXPECT_TRUE (log.contains ("[AudioPipeline/PreGain] Input LUFS: " + juce::String (inputLUFS, 1, false)
                               + " -> Applying " + juce::String (-18.0f - inputLUFS, 1, false) + "dB"));
    EXPECT_NEAR (buffer.getMagnitude (0, twoSeconds), outputPeak, 1.0e-6f);
}

TEST (AudioPipelineStageChain, NonFiniteSamplesAreCountedPastTheRangeOfAnInt)
{
    // 2^31 NaN samples, from 32768 channels that all read one block of 65536: an int count
    // wraps there, and at 2^32 it would read as none at all.
    constexpr int numChannels = 32768, numSamples = 65536;
    std::vector<float> nans ((size_t) numSamples, std::numeric_limits<float>::quiet_NaN());
    const std::vector<float*> channels ((size_t) numChannels, nans.data());
    juce::AudioBuffer<float> buffer (channels.data(), numChannels, numSamples);

    CapturingLogger log;
    AudioPipeline::Config config;
    AudioPipeline::Result result;

    EXPECT_FALSE (AudioPipeline::runStageChain (buffer, rate, config, {}, result, 0.0));
    EXPECT_EQ (result.errorMessage, "Invalid non-finite audio after File Load");
    EXPECT_EQ (log.getMessages(), juce::StringArray ({ "[AudioPipeline] ERROR: Invalid non-finite audio after File Load (2147483648 samples)" }));
}

TEST (AudioPipelineStageChain, PeakReportWarnsOnlyAboveMinusOne)
{
    // The first peak line reports the buffer as it was loaded: one click of the given size.
    struct Case { float peak; const char* line; };

    const Case cases[] = {
        { 0.8912f,   "[GainStaging] Peak after File Load: -1.00 dBFS" },
        { 0.89126f,  "[GainStaging] Peak after File Load: -1.00 dBFS [WARNING: EXCEEDS -1.0 dBFS]" },
        { 1.5f,      "[GainStaging] Peak after File Load: 3.52 dBFS [WARNING: EXCEEDS -1.0 dBFS]" },
        { 1.0e-10f,  "[GainStaging] Peak after File Load: -144.00 dBFS" },
        { 2.0e-6f,   "[GainStaging] Peak after File Load: -100.00 dBFS" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.line);
        juce::AudioBuffer<float> buffer (2, 4800);
        buffer.clear();
        buffer.setSample (1, 100, -c.peak);

        CapturingLogger log;
        AudioPipeline::Config config;
        AudioPipeline::Result result;
        ASSERT_TRUE (AudioPipeline::runStageChain (buffer, rate, config, {}, result, 0.0));
        EXPECT_EQ (linesStartingWith (log.getMessages(), "[GainStaging] ")[0], c.line);
    }
}

TEST_F (AudioPipelineRoadTest, BypassSkipsOneStageAndKeepsEveryCheck)
{
    struct Case
    {
        int bypass;
        bool eq, compressor;
        juce::StringArray absent;    // line starts that must not appear
        juce::StringArray present;   // line starts that must still appear
    };

    const Case cases[] = {
        { 1, true, true,  { "[AudioPipeline/PreGain] " },
                          { "[AudioPipeline] Stage 1.6: Pre-Gain Leveling", "[GainStaging] Peak after PreGain: " } },
        { 2, true, true,  { "[AudioPipeline/DeEsser] " },
                          { "[AudioPipeline] Stage 1.7: Dynamic De-esser", "[GainStaging] Peak after De-esser: " } },
        { 3, true, true,  { "[AudioPipeline] Stage 3: ", "[AudioPipeline/EQ] " },
                          { "[GainStaging] Peak after Corrective/Enhancement EQ: " } },
        { 4, true, true,  { "[AudioPipeline] Stage 2: ", "[AudioPipeline/Compressor] " },
                          { "[GainStaging] Peak after Compressor: " } },
        { 5, true, true,  { "[AudioPipeline/Saturation] " },
                          { "[AudioPipeline] Stage 4: Harmonic Saturation", "[GainStaging] Peak after Saturation: " } },
        { 6, true, true,  { "[AudioPipeline/Normalization] " },
                          { "[AudioPipeline] Stage 5: Broadcast Normalization", "[GainStaging] Peak after Final Normalization: " } },
        { 7, true, true,  { "[AudioPipeline/Limiter] ", "[AudioPipeline/OutputTrim] " },
                          { "[AudioPipeline] Stage 6: True Peak Limiter", "[GainStaging] Peak after Limiter & Output Trim: " } },
        { 0, true, false, { "[AudioPipeline] Stage 2: ", "[AudioPipeline/Compressor] " },
                          { "[AudioPipeline] Stage 3: ", "[AudioPipeline/EQ] ", "[GainStaging] Peak after Compressor: " } },
        { 9, false, true, { "[AudioPipeline] Stage 3: ", "[AudioPipeline/EQ] " },
                          { "[AudioPipeline] Stage 2: ", "[AudioPipeline/Compressor] ", "[AudioPipeline/PreGain] ",
                            "[AudioPipeline/OutputTrim] " } },
    };

    config.denoise = false;
    writeSpeech (input);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "bypass " << c.bypass << ", EQ " << c.eq << ", compressor " << c.compressor);
        log.clear();
        config.bypassStage = c.bypass;
        config.eq = c.eq;
        config.compressor = c.compressor;

        const auto result = run();
        ASSERT_TRUE (result.success) << result.errorMessage;

        const auto lines = log.getMessages();

        for (const auto& start : c.absent)
            EXPECT_FALSE (hasLineStartingWith (lines, start)) << start;

        for (const auto& start : c.present)
            EXPECT_TRUE (hasLineStartingWith (lines, start)) << start;

        EXPECT_TRUE (hasLineStartingWith (lines, "[AudioPipeline/Expander] ")) << "no number skips the expander";
        EXPECT_EQ (linesStartingWith (lines, "[GainStaging] Peak after ").size(), 9);
    }
}

//==============================================================================
TEST_F (AudioPipelineRoadTest, CopyRoadCopiesTheAudioReachedSoFar)
{
    struct Case { const char* name; bool denoise; const char* source; };

    const Case cases[] = {
        { "denoised", true,  "_stage1_denoised.wav"    },
        { "no denoising", false, "_stage0_prefiltered.wav" },
    };

    config.compressor = false;
    config.eq = false;

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        resetDirectory();
        writeSpeech (input);
        config.denoise = c.denoise;

        const auto result = run();
        ASSERT_TRUE (result.success) << result.errorMessage;

        EXPECT_EQ (contentsOf (output), contentsOf (directory.getChildFile (c.source)));
        EXPECT_FALSE (hasLineStartingWith (log.getMessages(), "[GainStaging] "));
        EXPECT_FALSE (hasLineStartingWith (log.getMessages(), "[AudioPipeline] Loaded audio: "));
        EXPECT_TRUE (log.contains ("[AudioPipeline] COMPLETE. Total time: "
                                   + juce::String (result.processingTimeMs, 1, false) + "ms"));
        EXPECT_EQ (denoised.existsAsFile(), c.denoise) << "the denoised stage file stays on this road";
    }
}

TEST_F (AudioPipelineRoadTest, WithoutDenoisingOnlyALeftoverOfAnEarlierRunIsRemoved)
{
    struct Case { const char* name; bool fromEarlierRun; };

    const Case cases[] = {
        { "left by an earlier run",   true  },
        { "written during this run",  false },
    };

    config.denoise = false;

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        resetDirectory();
        writeSpeech (input);
        writeSpeech (denoised);

        if (c.fromEarlierRun)
            denoised.setLastModificationTime (juce::Time::getCurrentTime() - juce::RelativeTime::hours (1));

        const auto result = run();
        ASSERT_TRUE (result.success) << result.errorMessage;
        EXPECT_EQ (result.denoiseEngine, "Skipped");
        EXPECT_FALSE (hasLineStartingWith (log.getMessages(), "[AudioPipeline] Stage 1: Noise Reduction"));
        EXPECT_FALSE (feed.exists());
        EXPECT_EQ (denoised.existsAsFile(), ! c.fromEarlierRun);
    }
}

TEST_F (AudioPipelineRoadTest, PassthroughFeedsTheRecogniserThePrefilteredAudio)
{
    const ScopedEnvironment failing ("VOXMENDER_STANDIN_MODE", "fail");
    writeSpeech (input);

    const auto result = run();
    ASSERT_TRUE (result.success) << result.errorMessage;
    EXPECT_EQ (result.denoiseEngine, "None (passthrough)");
    EXPECT_TRUE (log.contains ("[AudioPipeline] Denoise complete. Engine: None (passthrough)"));
    EXPECT_EQ (contentsOf (feed), contentsOf (prefiltered));
    EXPECT_FALSE (denoised.exists());

    // What the failed denoiser left stays for inspection; here that is nothing.
    EXPECT_EQ (listTree (directory), juce::StringArray ({ "_stage0_prefiltered.wav", "mastered.wav", "take.wav",
                                                          "take_asr_feed.wav" }));
}

//==============================================================================
TEST_F (AudioPipelineRoadTest, FailuresAreReportedAndLeaveAnEarlierOutputAlone)
{
    struct Case
    {
        const char* name;
        bool copyRoad;
        std::function<void()> prepare;
        std::function<juce::String()> message;
        const char* denoiseEngine;
    };

    const auto notAudio = [this] { input.replaceWithText ("these are not samples"); };
    const auto missing = [] {};

    const Case cases[] = {
        { "input no format reads", false, notAudio,
          [this] { return "Failed to read audio file for DSP processing: " + input.getFullPathName(); }, "None (passthrough)" },
        { "input no format reads, copy road", true, notAudio,
          [this] { return "Failed to read audio file: " + input.getFullPathName(); }, "None (passthrough)" },
        { "missing input", false, missing,
          [this] { return "Failed to read audio file for DSP processing: " + input.getFullPathName(); }, "Failed" },
        { "missing input, copy road", true, missing,
          [this] { return "Input file not found: " + input.getFullPathName(); }, "Failed" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        resetDirectory();
        c.prepare();
        output.replaceWithText ("an earlier output");
        config.compressor = config.eq = ! c.copyRoad;

        const auto result = run();

        EXPECT_FALSE (result.success);
        EXPECT_EQ (result.errorMessage, c.message());
        EXPECT_EQ (result.denoiseEngine, c.denoiseEngine);
        EXPECT_EQ (log.contains (juce::String::fromUTF8 ("[AudioPipeline] WARNING: Denoise failed \xe2\x80\x94 continuing with original audio")),
                   result.denoiseEngine == "Failed");
        EXPECT_EQ (result.analysisJSON, "");
        EXPECT_GT (result.processingTimeMs, 0.0);
        EXPECT_TRUE (log.contains ("[AudioPipeline] WARNING: Could not read input for Pass 1 analysis"));
        EXPECT_FALSE (hasLineStartingWith (log.getMessages(), "[AutoMap] "));
        EXPECT_FALSE (hasLineStartingWith (log.getMessages(), "[AudioPipeline] COMPLETE"));
        EXPECT_EQ (output.loadFileAsString(), "an earlier output");
        EXPECT_FALSE (prefiltered.exists());
    }
}

TEST_F (AudioPipelineRoadTest, NonFiniteSamplesEndTheFileAfterTheLoad)
{
    // A denoiser that hands back 32-bit float audio holding NaN and infinity.
    auto poisoned = makeSpeechLike (1, twoSeconds, rate);
    poisoned.setSample (0, 10, std::numeric_limits<float>::quiet_NaN());
    poisoned.setSample (0, 20, std::numeric_limits<float>::infinity());
    poisoned.setSample (0, 30, -std::numeric_limits<float>::infinity());
    const auto poisonFile = directory.getSiblingFile (directory.getFileName() + "-poison.wav");
    writeWav (poisonFile, poisoned, rate, 32);

    const ScriptedProgram denoiser (directory, "denoiser", "cp '" + poisonFile.getFullPathName()
                                                    + "' \"$3/$(basename \"$1\" .wav)_DeepFilterNet3.wav\"");
    config.deepFilterPath = denoiser.program.getFullPathName();
    writeSpeech (input);
    output.replaceWithText ("an earlier output");

    const auto result = run();
    poisonFile.deleteFile();

    EXPECT_FALSE (result.success);
    EXPECT_EQ (result.errorMessage, "Invalid non-finite audio after File Load");
    EXPECT_EQ (result.denoiseEngine, "DeepFilterNet3");
    EXPECT_TRUE (log.contains ("[AudioPipeline] ERROR: Invalid non-finite audio after File Load (3 samples)"));
    EXPECT_FALSE (hasLineStartingWith (log.getMessages(), "[GainStaging] "));
    EXPECT_EQ (output.loadFileAsString(), "an earlier output");

    // After a failure the denoised stage file stays, beside the other side files.
    EXPECT_EQ (listTree (directory), juce::StringArray ({ "_stage0_prefiltered.wav", "_stage1_denoised.wav",
                                                          "mastered.wav", "take.wav", "take_asr_feed.wav" }));
}

TEST_F (AudioPipelineRoadTest, OutputDirectoryThatCannotBeMadeIsAFailure)
{
    writeSpeech (input);
    const auto blocker = directory.getChildFile ("not a directory");
    blocker.replaceWithText ("a file where the output directory should be");
    const auto unreachable = blocker.getChildFile ("out").getChildFile ("mastered.wav");

    const auto result = AudioPipeline::process (input, unreachable, config);

    EXPECT_FALSE (result.success);
    EXPECT_EQ (result.errorMessage, "Failed to create output file: " + unreachable.getFullPathName());
    EXPECT_EQ (listTree (directory), juce::StringArray ({ "not a directory", "take.wav" }));
}

TEST_F (AudioPipelineRoadTest, FailedWriteIsAFailureAndLeavesNoPartFile)
{
    // The stage file is the first write; a file-size limit makes it fail part-way.
    writeSpeech (input);
    output.replaceWithText ("an earlier output");

    rlimit before {};
    getrlimit (RLIMIT_FSIZE, &before);
    const auto previousHandler = std::signal (SIGXFSZ, SIG_IGN);
    rlimit limited = before;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ (setrlimit (RLIMIT_FSIZE, &limited), 0);

    const auto result = run();

    setrlimit (RLIMIT_FSIZE, &before);
    std::signal (SIGXFSZ, previousHandler);

    EXPECT_FALSE (result.success);
    EXPECT_EQ (result.errorMessage, "Failed to write " + prefiltered.getFullPathName());
    EXPECT_EQ (output.loadFileAsString(), "an earlier output");
    EXPECT_EQ (listTree (directory), juce::StringArray ({ "mastered.wav", "take.wav" }));
}

//==============================================================================
TEST_F (AudioPipelineRoadTest, SideFilesNeverReplaceTheInputAndTheOutputWinsItsName)
{
    struct Case { const char* inputName; const char* outputName; };

    const Case cases[] = {
        { "_stage0_prefiltered.wav", "mastered.wav" },
        { "_stage1_denoised.wav",    "mastered.wav" },   // and it is no leftover to remove
        { "take.wav",                "_stage0_prefiltered.wav" },
        { "take.wav",                "take_asr_feed.wav" },
        { "take.wav",                "take.wav" },       // output over its own input
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << c.inputName << " -> " << c.outputName);
        resetDirectory();
        const auto namedInput = directory.getChildFile (c.inputName);
        const auto namedOutput = directory.getChildFile (c.outputName);
        writeSpeech (namedInput);
        namedInput.setLastModificationTime (juce::Time::getCurrentTime() - juce::RelativeTime::hours (1));
        const auto inputBefore = contentsOf (namedInput);

        const auto result = AudioPipeline::process (namedInput, namedOutput, config);
        ASSERT_TRUE (result.success) << result.errorMessage;

        EXPECT_NEAR (peakOf (readWav (namedOutput)), outputPeak, lsb16) << "the output holds the mastered audio";

        if (namedInput != namedOutput)
        {
            EXPECT_EQ (contentsOf (namedInput), inputBefore);
        }

        EXPECT_FALSE (directory.findChildFiles (juce::File::findDirectories, false).size() > 0) << "work left behind";
    }
}

TEST_F (AudioPipelineRoadTest, NoSideFileEverReplacesAnOutput)
{
    // Another call's stage file must not land on an output of that name, however the
    // calls interleave, and a failed call leaves an earlier output of that name alone.
    const auto inputs = directory.getChildFile ("in");
    const auto out = directory.getChildFile ("out");
    inputs.createDirectory();
    config.denoise = false;

    const auto namedLikeStageFile = inputs.getChildFile ("_stage0_prefiltered.wav");
    writeWav (namedLikeStageFile, makeSpeechLike (1, 24000, rate, 3), rate);

    for (int take = 0; take < 5; ++take)
        writeSpeech (inputs.getChildFile ("take" + juce::String (take) + ".wav"), 1, rate, take);

    for (int round = 0; round < 3; ++round)
    {
        SCOPED_TRACE (round);
        out.deleteRecursively();
        std::vector<std::thread> threads;

        for (const auto& file : inputs.findChildFiles (juce::File::findFiles, false))
            threads.emplace_back ([&, file] { AudioPipeline::process (file, out.getChildFile (file.getFileName()), config); });

        for (auto& thread : threads)
            thread.join();

        const auto mastered = readWav (out.getChildFile ("_stage0_prefiltered.wav"));
        EXPECT_EQ (mastered.buffer.getNumSamples(), 24000);
        EXPECT_NEAR (peakOf (mastered), outputPeak, lsb16);
    }

    // A call that fails after its stage file was made, its output named like that file: the
    // denoiser's output is sound, but a directory stands where the recogniser feed goes.
    const ScriptedProgram denoiser (directory, "denoiser", "cp \"$1\" \"$3/$(basename \"$1\" .wav)_DeepFilterNet3.wav\"; "
                                                           "mkdir -p \"$3/../../take0_asr_feed.wav/in the way\"");
    config.denoise = true;
    config.deepFilterPath = denoiser.program.getFullPathName();
    const auto earlier = out.getChildFile ("_stage0_prefiltered.wav");
    earlier.replaceWithText ("an earlier output");

    const auto result = AudioPipeline::process (inputs.getChildFile ("take0.wav"), earlier, config);

    EXPECT_FALSE (result.success);
    EXPECT_TRUE (result.errorMessage.startsWith ("Failed to write ")) << result.errorMessage;
    EXPECT_EQ (earlier.loadFileAsString(), "an earlier output");
}

TEST_F (AudioPipelineRoadTest, OutputThatIsADirectoryFailsLeavesItAndKeepsTheDenoisedAudio)
{
    // An empty directory would be removed by JUCE's rename; either kind must stay as it was.
    for (const bool empty : { true, false })
    {
        SCOPED_TRACE (empty ? "empty directory" : "directory with a file");
        resetDirectory();
        writeSpeech (input);
        output.createDirectory();

        if (! empty)
            output.getChildFile ("in the way.txt").replaceWithText ("a directory where the output should go");

        const auto before = listTree (output);
        const auto result = run();

        EXPECT_FALSE (result.success);
        EXPECT_EQ (result.errorMessage, "Failed to create output file: " + output.getFullPathName());
        EXPECT_TRUE (output.isDirectory());
        EXPECT_EQ (listTree (output), before);
        EXPECT_TRUE (denoised.existsAsFile());
        EXPECT_TRUE (prefiltered.existsAsFile());
        EXPECT_TRUE (feed.existsAsFile());
    }
}

TEST_F (AudioPipelineRoadTest, SideFilesAndLeftoverRemovalNeverReachAnInputOfTheRun)
{
    // An in-place run in which takes are named like side files, one call after another: each
    // call's side files would land on those takes, and its leftover rule remove one, before
    // the takes' own calls had read them.
    const auto take = directory.getChildFile ("p.wav");
    const juce::Array<juce::File> takes { take, directory.getChildFile ("p_asr_feed.wav"), prefiltered, denoised };

    for (const bool copyRoad : { false, true })
    {
        SCOPED_TRACE (copyRoad ? "copy road" : "stage road");
        resetDirectory();
        config.compressor = config.eq = ! copyRoad;

        for (int i = 0; i < takes.size(); ++i)
            writeSpeech (takes[i], 1, rate, i + 1);

        denoised.setLastModificationTime (juce::Time::getCurrentTime() - juce::RelativeTime::hours (1));

        std::vector<juce::MemoryBlock> before;
        for (const auto& file : takes)
            before.push_back (contentsOf (file));

        AudioPipeline::protectRunInputs (takes);
        const auto result = AudioPipeline::process (take, take, config);
        ASSERT_TRUE (result.success) << result.errorMessage;

        for (int i = 1; i < takes.size(); ++i)
            EXPECT_EQ (contentsOf (takes[i]), before[(size_t) i]) << takes[i].getFileName();

        EXPECT_EQ (listTree (directory), juce::StringArray ({ "_stage0_prefiltered.wav", "_stage1_denoised.wav",
                                                              "p.wav", "p_asr_feed.wav" }));

        // An output on another input of the run fails before anything is made.
        const auto refused = AudioPipeline::process (take, takes[1], config);
        EXPECT_FALSE (refused.success);
        EXPECT_EQ (refused.errorMessage, "Output would replace another input of the run: " + takes[1].getFullPathName());
        EXPECT_EQ (contentsOf (takes[1]), before[1]);
        EXPECT_EQ (listTree (directory).size(), 4);
    }
}

TEST_F (AudioPipelineRoadTest, WorkDirectoryWhoseNameIsTakenIsNeverShared)
{
   #if defined (__GLIBC__)
    config.denoise = false;
    writeSpeech (input);
    takeNextWorkDirectoryName = true;

    const auto result = run();

    ASSERT_FALSE (takeNextWorkDirectoryName.load()) << "no work directory was made";
    ASSERT_TRUE (result.success) << result.errorMessage;
    EXPECT_NEAR (peakOf (readWav (output)), outputPeak, lsb16);

    // The other owner's directory is as it was: the call neither worked in it nor removed it.
    const juce::File taken (takenWorkDirectory);
    EXPECT_EQ (listTree (taken), juce::StringArray ({ "someone else's" }));
    const juce::StringArray expected { taken.getFileName(), taken.getFileName() + "/someone else's",
                                       "_stage0_prefiltered.wav", "mastered.wav", "take.wav" };
    EXPECT_EQ (listTree (directory), expected);
   #else
    GTEST_SKIP() << "taking a name first needs glibc's mkdir to be replaceable";
   #endif
}

TEST_F (AudioPipelineRoadTest, DenoiserLeftoversThatCannotBeMovedAreLoggedAndKept)
{
    // A denoiser that fails and leaves a file in its work directory, after putting a directory
    // in the way of that work directory's place beside the output.
    const ScriptedProgram denoiser (directory, "denoiser",
                                    "work=$(dirname \"$3\")\n"
                                    "mkdir -p \"$(dirname \"$(dirname \"$work\")\")/$(basename \"$work\")/in the way\"\n"
                                    "echo partial > \"$3/partial.wav\"\n"
                                    "exit 1");
    config.deepFilterPath = denoiser.program.getFullPathName();
    writeSpeech (input);

    const auto result = run();

    ASSERT_TRUE (result.success) << result.errorMessage;
    EXPECT_EQ (result.denoiseEngine, "None (passthrough)");

    const auto warnings = linesStartingWith (log.getMessages(), "[AudioPipeline] WARNING: Could not move the denoiser's leftovers to ");
    ASSERT_EQ (warnings.size(), 1);

    const auto leftovers = directory.findChildFiles (juce::File::findFiles, true, "partial.wav");
    ASSERT_EQ (leftovers.size(), 1) << "what the denoiser left was lost";
    EXPECT_TRUE (warnings[0].endsWith ("; they stay in " + leftovers[0].getParentDirectory().getParentDirectory().getFullPathName()))
        << warnings[0];
}

TEST_F (AudioPipelineRoadTest, DenoisedFileThisRunWroteIsNoLeftoverWhateverItsTime)
{
    // A copy-road call leaves its denoised audio; a file system that keeps coarse or skewed
    // times may date it before the run. A later call of the run must still leave it alone.
    writeSpeech (input);
    config.compressor = config.eq = false;
    ASSERT_TRUE (run().success);
    ASSERT_TRUE (denoised.existsAsFile());
    denoised.setLastModificationTime (juce::Time::getCurrentTime() - juce::RelativeTime::hours (1));

    config.compressor = config.eq = true;
    config.denoise = false;
    ASSERT_TRUE (AudioPipeline::process (input, directory.getChildFile ("second.wav"), config).success);

    EXPECT_TRUE (denoised.existsAsFile());
}

TEST_F (AudioPipelineRoadTest, CopyRoadOntoItsOwnInputCopiesTheStageFile)
{
    config.compressor = config.eq = false;
    config.denoise = false;
    writeSpeech (input);

    const auto result = AudioPipeline::process (input, input, config);

    ASSERT_TRUE (result.success) << result.errorMessage;
    EXPECT_EQ (contentsOf (input), contentsOf (prefiltered));
}

TEST_F (AudioPipelineRoadTest, HeaderClaimingMoreThanTheFileHoldsIsReadForWhatIsThere)
{
    writeWav (input, makeSpeechLike (1, 8000, rate), rate);

    // Claim two gigabytes of samples in both the RIFF and the data chunk sizes.
    juce::MemoryBlock bytes = contentsOf (input);
    auto* data = static_cast<char*> (bytes.getData());
    static constexpr char dataId[] = "data";
    const auto dataChunk = (int) (std::search (data, data + bytes.getSize(), dataId, dataId + 4) - data);
    ASSERT_LT (dataChunk, (int) bytes.getSize());
    const auto claim = juce::ByteOrder::swapIfBigEndian ((juce::uint32) 0x7ffffff0);
    std::memcpy (data + 4, &claim, 4);
    std::memcpy (data + dataChunk + 4, &claim, 4);
    input.replaceWithData (bytes.getData(), bytes.getSize());

    config.denoise = false;
    const auto result = run();

    ASSERT_TRUE (result.success) << result.errorMessage;
    EXPECT_TRUE (log.contains ("[AudioPipeline] Loaded audio: 1ch, 48000Hz, 8000 samples (0.17s)"));
    EXPECT_EQ (readWav (output).buffer.getNumSamples(), 8000);
}

TEST_F (AudioPipelineRoadTest, OggVorbisInsideAWavIsMasteredAtItsFullLength)
{
    constexpr int oneAndAHalfSeconds = 72000;
    writeOggVorbisInWav (input, makeSpeechLike (1, oneAndAHalfSeconds, rate), rate);

    config.denoise = false;
    const auto result = run();

    ASSERT_TRUE (result.success) << result.errorMessage;
    EXPECT_EQ (readWav (output).buffer.getNumSamples(), oneAndAHalfSeconds);
}

TEST_F (AudioPipelineRoadTest, CompressedSamplesAreMasteredWholeOrRefusedByName)
{
    // Whether a reader here opens these depends on the system; none may cut them short.
    constexpr int numFrames = 24000;
    constexpr int sampleRate = (int) rate;
    constexpr int noExtension = 0;

    const auto writeCompanded = [=] (const juce::File& file, int formatTag)
    {
        juce::MemoryOutputStream extension;
        extension.writeShort (noExtension);
        writeRiffWave (file, makeWavFormat (formatTag, 1, sampleRate, sampleRate, 1, 8, extension.getMemoryBlock()),
                       makeNoiseBytes (numFrames), numFrames);
    };

    const auto writeImaAdpcm = [=] (const juce::File& file)
    {
        constexpr int imaAdpcmTag = 0x11;
        constexpr int blockAlign = 1024;
        constexpr int blockHeaderBytes = 4;   // first sample, step index, reserved byte
        constexpr int framesPerBlock = (blockAlign - blockHeaderBytes) * 2 + 1;
        constexpr int numBlocks = (numFrames + framesPerBlock - 1) / framesPerBlock;

        // Every block starts from silence at the smallest step; its nibbles are noise.
        auto samples = makeNoiseBytes ((size_t) (numBlocks * blockAlign));

        for (int block = 0; block < numBlocks; ++block)
            std::memset (static_cast<char*> (samples.getData()) + block * blockAlign, 0, blockHeaderBytes);

        juce::MemoryOutputStream extension;
        extension.writeShort (2);
        extension.writeShort ((short) framesPerBlock);
        writeRiffWave (file, makeWavFormat (imaAdpcmTag, 1, sampleRate, sampleRate * blockAlign / framesPerBlock,
                                            blockAlign, 4, extension.getMemoryBlock()),
                       samples, numFrames);
    };

    struct Case { const char* name; const char* fileName; std::function<void (const juce::File&)> write; };

    const Case cases[] = {
        { "mu-law WAV",    "take.wav",  [&] (auto& f) { writeCompanded (f, 7); } },
        { "A-law WAV",     "take.wav",  [&] (auto& f) { writeCompanded (f, 6); } },
        { "IMA ADPCM WAV", "take.wav",  [&] (auto& f) { writeImaAdpcm (f); } },
        { "mu-law AIFC",   "take.aif", [&] (auto& f) { writeAifc (f, "ulaw", numFrames, 16, makeNoiseBytes (numFrames)); } },
    };

    config.denoise = false;

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        resetDirectory();
        const auto take = directory.getChildFile (c.fileName);
        c.write (take);

        const auto result = AudioPipeline::process (take, output, config);

        if (result.success)
            EXPECT_EQ (readWav (output).buffer.getNumSamples(), numFrames);
        else
            EXPECT_EQ (result.errorMessage, "Failed to read audio file for DSP processing: " + take.getFullPathName());
    }
}

TEST_F (AudioPipelineRoadTest, RecordingTooLongForABufferIsRefused)
{
    // An 8-bit mono WAV of a little over 2^31 frames, as a sparse file: nothing is read.
    juce::MemoryOutputStream header;
    const auto dataBytes = (juce::int64) std::numeric_limits<int>::max() + 100;
    header.write ("RIFF", 4);  header.writeInt (-1);  header.write ("WAVE", 4);
    header.write ("fmt ", 4);  header.writeInt (16);
    header.writeShort (1);  header.writeShort (1);  header.writeInt (8000);  header.writeInt (8000);
    header.writeShort (1);  header.writeShort (8);
    header.write ("data", 4);  header.writeInt (-1);
    input.replaceWithData (header.getData(), header.getDataSize());
    ASSERT_EQ (truncate (input.getFullPathName().toRawUTF8(), (off_t) (header.getDataSize() + dataBytes)), 0);

    output.replaceWithText ("an earlier output");
    const auto result = run();

    EXPECT_FALSE (result.success);
    EXPECT_EQ (result.errorMessage, "Audio file too long to process (" + juce::String (dataBytes)
                                        + " samples per channel, at most 2147483647): " + input.getFullPathName());
    EXPECT_EQ (output.loadFileAsString(), "an earlier output");
    EXPECT_FALSE (hasLineStartingWith (log.getMessages(), "[AudioAnalyzer]"));
}

//==============================================================================
TEST_F (AudioPipelineRoadTest, CallsAtTheSameTimeIntoOneDirectoryMatchCallsOneAfterAnother)
{
    constexpr int numCalls = 8;
    const auto inputs = directory.getChildFile ("in");
    const auto oneByOne = directory.getChildFile ("sequential");
    const auto together = directory.getChildFile ("parallel");
    inputs.createDirectory();

    for (int call = 0; call < numCalls; ++call)
        writeSpeech (inputs.getChildFile ("take" + juce::String (call) + ".wav"), 1 + call % 2, call % 3 == 0 ? 44100.0 : rate, call);

    const auto nameOf = [] (int call) { return "take" + juce::String (call) + ".wav"; };

    for (int call = 0; call < numCalls; ++call)
        ASSERT_TRUE (AudioPipeline::process (inputs.getChildFile (nameOf (call)), oneByOne.getChildFile (nameOf (call)), config).success);

    std::vector<std::thread> threads;
    std::atomic<int> succeeded { 0 };

    for (int call = 0; call < numCalls; ++call)
        threads.emplace_back ([&, call]
        {
            if (AudioPipeline::process (inputs.getChildFile (nameOf (call)), together.getChildFile (nameOf (call)), config).success)
                ++succeeded;
        });

    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ (succeeded.load(), numCalls);

    for (int call = 0; call < numCalls; ++call)
    {
        SCOPED_TRACE (nameOf (call));
        EXPECT_EQ (contentsOf (together.getChildFile (nameOf (call))), contentsOf (oneByOne.getChildFile (nameOf (call))));
        const auto feedName = "take" + juce::String (call) + "_asr_feed.wav";
        EXPECT_EQ (contentsOf (together.getChildFile (feedName)), contentsOf (oneByOne.getChildFile (feedName)));
    }

    EXPECT_EQ (listTree (together), listTree (oneByOne));
}
