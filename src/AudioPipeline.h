#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_dsp/juce_dsp.h>

#include "AudioAnalyzer.h"

/** Processes one recording into one mastered 16-bit WAV file.

    Holds only static functions; its data travels in the nested records.
*/
class AudioPipeline
{
public:
    /** The numbers Config::bypassStage takes: each names the one stage whose processing the
        stage chain skips. The analyses, the checks, the peak reports and the title lines that
        are logged whatever happens still run. bypassLimiter also skips the output trim; any
        other value skips none, and no value skips the expander.
    */
    enum BypassStage : int
    {
        noBypass            = 0,
        bypassPreGain       = 1,   // the expander threshold then takes no loudness offset either
        bypassDeEsser       = 2,
        bypassEQ            = 3,
        bypassCompressor    = 4,
        bypassSaturation    = 5,
        bypassNormalisation = 6,
        bypassLimiter       = 7
    };

    /** The settings of one run, filled from the command line and copied into every job. */
    struct Config
    {
        bool denoise = true;
        bool compressor = true;
        bool eq = true;
        juce::String voiceType { "Male" };
        juce::String deepFilterPath;
        juce::String ffmpegPath;
        float targetLUFS = -18.0f;
        int bypassStage = noBypass;         // a BypassStage, or any other number for none
    };

    /** The outcome of one file. */
    struct Result
    {
        bool success = false;
        juce::String errorMessage;
        juce::String denoiseEngine;
        juce::String analysisJSON;
        double processingTimeMs = 0.0;
    };

    /** The settings the first analysis chooses for the rest of a file's road. The member
        values are the fixed ones taken when the input cannot be read for that analysis.
    */
    struct AutoMapSettings
    {
        float attenuationLimitDB = 100.0f;  // handed to noise reduction; 100 or more means no limit
        float compRatio = 0.0f;             // shown in the log only; not chosen without an analysis
        float saturationDriveDB = 2.0f;
        float mudCutDB = 0.0f;
        float eqAirDB = 2.0f;
        float presenceDB = 3.0f;
        float expanderBaseDB = -60.0f;      // the expander threshold before the loudness offset
    };

    //==============================================================================
    /** Turns inputFile into a mastered 16-bit WAV at outputFile, leaving the intermediate
        audio beside it. Safe to call from several threads at once, also into one directory.
        Throws only std::bad_alloc; every other failure is reported in the result.
    */
    static Result process (const juce::File& inputFile, const juce::File& outputFile, const Config& config);

    /** Names every input of the run before its first call starts, in place of those named
        before. Calls into one directory then never put a side file onto an input, nor remove
        one as a leftover, and an output replaces an input only when it is that call's own:
        another call may not have read it yet.
    */
    static void protectRunInputs (const juce::Array<juce::File>& inputFiles);

    /** Chooses the road's settings from the first analysis of the input. */
    static AutoMapSettings mapAnalysisToSettings (const AudioAnalyzer::AnalysisResult& analysis);

    /** Runs every stage on the loaded recording in place, in order, checking for samples
        that are not finite and logging the peak after each. Returns false at the first check
        that fails, with the reason and the time since startTimeMs in result.
    */
    static bool runStageChain (juce::AudioBuffer<float>& buffer, double sampleRate, const Config& config,
                               const AutoMapSettings& settings, Result& result, double startTimeMs);

    //==============================================================================
    // Pre-filter and vocal EQ

    /** Removes rumble below 90 Hz and, when the analysis heard mains hum, notches out
        50, 100 and 150 Hz. Processes the buffer in place.
    */
    static void applyPreFilter (juce::AudioBuffer<float>& buffer, double sampleRate, bool hasGridHum);

    /** The corrective and enhancement EQ: high-pass, thickness boost, optional mud cut,
        presence peak, air shelf and low-pass, with corners chosen by the voice type.
        Processes the buffer in place.
    */
    static void applyVocalEQ (juce::AudioBuffer<float>& buffer, double sampleRate, const juce::String& voiceType,
                              float airDB, float presenceDB, float mudCutDB);

    //==============================================================================
    // Gain and dynamics

    /** Multiplies every sample by the linear factor of gainDB (0 at -100 dB and below). */
    static void applyMakeupGain (juce::AudioBuffer<float>& buffer, float gainDB);

    /** Compresses the band above a Linkwitz-Riley crossover near 5 kHz and adds it back
        to the untouched low band. The compressor works 2 dB below thresholdDB, but never below -40 dB.
    */
    static void applyDeEsser (juce::AudioBuffer<float>& buffer, double sampleRate, float thresholdDB);

    /** A 2:1 downward expander below thresholdDB, channels unlinked. A threshold at or below
        -200 dB has a level of zero, with nothing below it, and leaves the buffer unchanged.
    */
    static void applyExpander (juce::AudioBuffer<float>& buffer, double sampleRate, float thresholdDB);

    /** A fixed, slow levelling compressor: -18 dB, 3:1, 12 ms attack, 250 ms release, channels unlinked. */
    static void applyOptoCompressor (juce::AudioBuffer<float>& buffer, double sampleRate);

    /** JUCE's limiter at ceilingDB over the whole buffer as one block; its output never exceeds full scale. */
    static void applyLimiter (juce::AudioBuffer<float>& buffer, double sampleRate, float ceilingDB);

    //==============================================================================
    // Saturation

    /** Soft-clips every sample with the drive driveDB, then lowers the top of the
        spectrum by 1 dB with a high shelf near 14 kHz.
    */
    static void applyHarmonicSaturation (juce::AudioBuffer<float>& buffer, double sampleRate, float driveDB);

    AudioPipeline() = delete;
};
