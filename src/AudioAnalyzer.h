#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_dsp/juce_dsp.h>

#include <vector>

/** Offline measurements of a recording held in memory.

    Every function is static and keeps no state; buffers are only read, except
    by applyKWeighting, which filters the buffer it is given in place.
*/
class AudioAnalyzer
{
public:
    AudioAnalyzer() = delete;

    /** The measurements of one analysis pass. -144.0 stands for silence and
        for a level that had nothing to measure.
    */
    struct AnalysisResult
    {
        double integratedLUFS = -144.0;
        double truePeakDBTP = -144.0;
        double snrDB = 0.0;
        double noiseFloorDBFS = -144.0;
        double voicedPercent = 0.0;
        double spectralTiltDB = 0.0;
        double sibilanceRMS = 0.0;
        double sibilanceDBFS = -144.0;
        double crestFactorDB = 0.0;
        double sampleRate = 0.0;
        int numChannels = 0;
        int numSamples = 0;
        double durationSeconds = 0.0;
        bool hasGridHum = false;

        /** The twelve-line report for the log, without a final newline. */
        juce::String toString() const;

        /** The record as a one-line JSON object (every field but numSamples). */
        juce::String toJSON() const;
    };

    /** Runs every measurement on the recording and logs the pass and its report. */
    static AnalysisResult analyze (const juce::AudioBuffer<float>& buffer, double sampleRate);

    //==============================================================================
    /** Filters the buffer in place with the K-weighting curve. */
    static void applyKWeighting (juce::AudioBuffer<float>& buffer, double sampleRate);

    /** Gated integrated loudness in LUFS of an already K-weighted buffer, or -144.0. */
    static double calculateIntegratedLUFS (const juce::AudioBuffer<float>& buffer, double sampleRate);

    /** Largest magnitude of the 4x oversampled recording in dBTP, or -144.0. */
    static double calculateTruePeak (const juce::AudioBuffer<float>& buffer, double sampleRate);

    /** One flag per block of blockSize samples: true where the block is voiced. */
    static std::vector<bool> computeVAD (const juce::AudioBuffer<float>& buffer, double sampleRate, int blockSize);

    /** Signal-to-noise ratio (dB), noise floor (dBFS) and voiced share (percent)
        from the flags that computeVAD returned for the same buffer and blockSize.
    */
    static void calculateSNR (const juce::AudioBuffer<float>& buffer, double sampleRate,
                              const std::vector<bool>& vadFlags, int blockSize,
                              double& snrDB, double& noiseFloorDBFS, double& voicedPercent);

    /** Slope of the spectrum's level in dB per octave, between 100 Hz and a
        quarter of the sample rate, over the first frame of the recording.
    */
    static double calculateSpectralTilt (const juce::AudioBuffer<float>& buffer, double sampleRate);

    /** True when 50 Hz mains hum stands out at the start of the recording. */
    static bool detectGridHum (const juce::AudioBuffer<float>& buffer, double sampleRate);

    /** Linear RMS and level in dBFS of the 5 to 8 kHz band. */
    static void calculateSibilanceEnergy (const juce::AudioBuffer<float>& buffer, double sampleRate,
                                          double& sibilanceRMS, double& sibilanceDBFS);

    /** Ratio of the largest sample magnitude to the RMS level, in dB. */
    static double calculateCrestFactor (const juce::AudioBuffer<float>& buffer);

    //==============================================================================
    /** The name the log gives a spectral slope (dB per octave). */
    static juce::String tiltProfile (double slopeDBPerOctave);

    /** The name the log gives a crest factor (dB). */
    static juce::String dynamicsClass (double crestFactorDB);
};
