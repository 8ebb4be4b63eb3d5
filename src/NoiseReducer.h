#pragma once

#include <juce_core/juce_core.h>

namespace juce
{
    class AudioFormatReader;
}

/** Denoises a WAV file through the outside DeepFilterNet3 program.

    DeepFilterNet3 is fed audio at the model's rate; a file at another rate is
    resampled by FFmpeg on the way in and converted back on the way out. Whatever
    goes wrong, the caller gets audio to go on with: the denoised target, or the
    input itself unchanged.

    Holds only static functions; calls for different files may run at the same
    time, each working in a directory of its own.
*/
class NoiseReducer
{
public:
    /** What produced a result's outputFile. */
    enum Engine : juce::int32
    {
        deepFilterNet3 = 0,
        passthrough    = 1
    };

    /** The settings of one call. */
    struct Config
    {
        juce::String deepFilterPath;        // the DeepFilterNet3 program, passed on unchanged
        juce::String ffmpegPath;            // the FFmpeg program, passed on unchanged
        int modelSampleRate = 48000;        // the rate DeepFilterNet3 is fed
        float attenuationLimitDB = 100.0f;  // below 100 it limits DeepFilterNet3's attenuation
    };

    /** The outcome of one call. */
    struct Result
    {
        bool success = false;
        Engine engine = passthrough;
        juce::File outputFile;              // the audio to go on with
        juce::String errorMessage;
        double processingTimeMs = 0.0;
    };

    /** Denoises inputFile into targetFile. Never fails: when DeepFilterNet3 cannot
        deliver, the result is a passthrough naming inputFile as the audio to use.
    */
    static Result process (const juce::File& inputFile, const juce::File& targetFile, const Config& config);

    /** Runs DeepFilterNet3 (with FFmpeg around it when the rates differ) and puts its
        output at targetFile; success is false, with the reason, when it cannot, or when
        what it hands back does not have the input's channels, rate and length.
    */
    static Result runDeepFilterNet3 (const juce::File& inputFile, const juce::File& targetFile, const Config& config);

    /** Has FFmpeg write inputFile as 16-bit PCM at sampleRate into resampledFile;
        true when FFmpeg exited by itself with 0 in time and left a non-empty file.
    */
    static bool resampleWav (const juce::File& inputFile, const juce::File& resampledFile,
                             int sampleRate, const juce::String& ffmpegPath);

    /** The frames per channel that file really holds, given the reader made for it. A
        damaged or still-growing WAV (RIFF or RF64) or AIFF file can claim more than it
        holds, and the readers would pad the difference with silence; this counts only
        the frames whose bytes are there, from the header and the file's size, without
        reading the audio. That count needs samples stored as they are, so it is made
        only for a file whose own header says so: a WAV file of PCM, IEEE float, or an
        extensible format of either, a plain AIFF file, or an AIFC file of a compression
        type that JUCE's AIFF reader takes as PCM or float. A compressed file (Ogg Vorbis,
        mu-law, A-law or ADPCM inside a WAV or AIFC file) and any other kind of file are
        taken at the reader's word, whatever sample size the reader reports.
    */
    static juce::int64 countFramesPresent (const juce::File& file, const juce::AudioFormatReader& reader);

    /** Makes a directory named prefix plus a fresh unique id inside parent, and only a new
        one: a name that already exists, whoever made it, is never shared, so another id is
        drawn. An empty file when none could be made. The work directories of a call are
        made this way, the road's as well as this class's own.
    */
    static juce::File createOwnDirectory (const juce::File& parent, const juce::String& prefix);

    NoiseReducer() = delete;
};
