// One file's whole road, noise reduction off, on ten minutes of 48 kHz stereo
// speech-like audio, against an FFmpeg filter chain doing comparable work on the
// same file in the same run.

#include "BenchSupport.h"

#include "AudioPipeline.h"
#include "SubprocessRunner.h"
#include "TestSupport.h"

#include <juce_audio_formats/juce_audio_formats.h>

namespace
{
    constexpr double benchSampleRate = 48000.0;
    constexpr int    benchChannels   = 2;
    constexpr int    benchMinutes    = 10;
    constexpr int    chunkSeconds    = 10;

    constexpr int ffmpegTimeoutMs = 30 * 60 * 1000;
    const char* const ffmpegChain = "highpass=f=90,deesser,acompressor,loudnorm=I=-18:TP=-1,alimiter";

    /** Ten seconds of speech repeated to the full length, so that this process never holds
        the recording whole and the peak memory below is the road's own.
    */
    bool writeSpeechFile (const juce::File& file)
    {
        const auto chunk = testing_support::makeSpeechLike (benchChannels, (int) (chunkSeconds * benchSampleRate),
                                                            benchSampleRate);
        return bench::writeWav16 (file, chunk, benchSampleRate, benchMinutes * 60 / chunkSeconds);
    }
}

int runRoadBenchmark()
{
    const auto audioSeconds = benchMinutes * 60.0;
    const auto floatBufferMiB = audioSeconds * benchSampleRate * benchChannels * sizeof (float) / (1024.0 * 1024.0);

    const auto directory = juce::File::getSpecialLocation (juce::File::tempDirectory)
                               .getChildFile ("voxmender-road-bench-" + juce::Uuid().toString());
    directory.createDirectory();
    const auto input = directory.getChildFile ("speech.wav");

    std::cout << "Whole road, noise reduction off, " << benchMinutes << " min of " << benchSampleRate
              << " Hz stereo speech-like audio, single-threaded" << std::endl;

    if (! writeSpeechFile (input))
    {
        std::cerr << "cannot write " << input.getFullPathName() << std::endl;
        return 1;
    }

    const auto memoryBefore = bench::peakMemoryMiB();
    AudioPipeline::Config config;
    config.denoise = false;
    AudioPipeline::Result result;

    double roadSeconds = 0.0;
    {
        const bench::SilentLogger silent;
        roadSeconds = bench::timeStage ("road", audioSeconds, [&]
        {
            result = AudioPipeline::process (input, directory.getChildFile ("road.wav"), config);
        });
    }

    if (! result.success)
    {
        std::cerr << "the road failed: " << result.errorMessage << std::endl;
        return 1;
    }

    const auto peakMiB = bench::peakMemoryMiB();
    std::cout << "  peak memory: " << juce::String (peakMiB, 1) << " MiB (before the road "
              << juce::String (memoryBefore, 1) << " MiB; float buffer " << juce::String (floatBufferMiB, 1)
              << " MiB; target at most " << juce::String (2.2 * floatBufferMiB + 50.0, 1) << " MiB)" << std::endl;

    const auto installedFFmpeg = testing_support::findFFmpeg();
    const juce::StringArray ffmpeg (installedFFmpeg.isNotEmpty() ? installedFFmpeg : juce::String ("ffmpeg"),
                                    "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
                                    "-i", input.getFullPathName(), "-af", ffmpegChain,
                                    directory.getChildFile ("ffmpeg.wav").getFullPathName());
    SubprocessRunner::Result ffmpegRun;
    double ffmpegSeconds = 0.0;
    {
        const bench::SilentLogger silent;
        ffmpegSeconds = bench::timeStage ("ffmpeg -af \"highpass=f=90,deesser,acompressor,loudnorm=I=-18:TP=-1,alimiter\"",
                                          audioSeconds, [&] { ffmpegRun = SubprocessRunner::run (ffmpeg, ffmpegTimeoutMs, {}); });
    }

    directory.deleteRecursively();

    if (ffmpegRun.exitCode != 0 || ffmpegRun.timedOut)
    {
        std::cerr << "FFmpeg failed: " << ffmpegRun.output << std::endl;
        return 1;
    }

    std::cout << "  road is " << juce::String (ffmpegSeconds / roadSeconds, 2) << "x faster than the FFmpeg chain"
              << " (target at least 2.5x)" << std::endl;
    return 0;
}
