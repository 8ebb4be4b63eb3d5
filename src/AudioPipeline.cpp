#include "AudioPipeline.h"

namespace
{
    using Coefficients    = juce::dsp::IIR::Coefficients<float>;
    using CoefficientsPtr = juce::ReferenceCountedObjectPtr<Coefficients>;

    //==============================================================================
    // Shared helpers

    /** Levels in the log lines: fixed notation, one decimal; -0.04 shows as -0.0. */
    juce::String oneDecimal (float value)    { return juce::String (value, 1, false); }

    bool hasAudio (const juce::AudioBuffer<float>& buffer) noexcept
    {
        return buffer.getNumChannels() > 0 && buffer.getNumSamples() > 0;
    }

    /** Every processor sees the whole recording as one block, so it is prepared for its full length. */
    juce::dsp::ProcessSpec wholeBufferSpec (const juce::AudioBuffer<float>& buffer, double sampleRate, int numChannels)
    {
        return { sampleRate, (juce::uint32) buffer.getNumSamples(), (juce::uint32) numChannels };
    }

    /** Sets up a freshly made JUCE dynamics processor (compressor or noise gate) for the
        whole buffer; both take the same four settings.
    */
    template <typename Dynamics>
    void prepareDynamics (Dynamics& processor, float thresholdDB, float ratio, float attackMs, float releaseMs,
                          const juce::dsp::ProcessSpec& spec)
    {
        processor.setThreshold (thresholdDB);
        processor.setRatio (ratio);
        processor.setAttack (attackMs);
        processor.setRelease (releaseMs);
        processor.prepare (spec);
    }

    /** Feeds every channel through the processor one sample at a time, channel after channel.
        The JUCE dynamics processors keep one envelope per channel index, so the channels stay unlinked.
    */
    template <typename Processor>
    void processSampleBySample (Processor& processor, juce::AudioBuffer<float>& buffer)
    {
        const auto numSamples = buffer.getNumSamples();

        for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
        {
            auto* samples = buffer.getWritePointer (channel);

            for (int i = 0; i < numSamples; ++i)
                samples[i] = processor.processSample (channel, samples[i]);
        }
    }

    //==============================================================================
    // Biquads

    /** No corner may come near Nyquist, where the bilinear makers break down; the floor
        keeps the low corners in place even at very low rates. Formed in single precision.
    */
    float limitToCornerCeiling (float frequency, double sampleRate) noexcept
    {
        const auto ceiling = juce::jmax (0.45f * (float) sampleRate, 1000.0f);
        return juce::jmin (frequency, ceiling);
    }

    /** Runs one section over one whole channel, from zero state. */
    void filterChannel (juce::AudioBuffer<float>& buffer, int channel, const CoefficientsPtr& coefficients)
    {
        // An empty channel has nothing to filter, and JUCE's blocks hand out no pointer into one.
        if (buffer.getNumSamples() == 0)
            return;

        juce::dsp::IIR::Filter<float> filter (coefficients);
        filter.reset();

        auto block = juce::dsp::AudioBlock<float> (buffer).getSingleChannelBlock ((size_t) channel);
        filter.process (juce::dsp::ProcessContextReplacing<float> (block));
    }

    /** Returns the operation that runs one coefficient set over every channel of the buffer,
        each channel with a filter of its own, so no state leaks between channels or sections.
    */
    auto makeBiquadApplier (juce::AudioBuffer<float>& buffer)
    {
        const auto numChannels = buffer.getNumChannels();

        return [&buffer, numChannels] (const CoefficientsPtr& coefficients)
        {
            if (coefficients == nullptr)
                return;

            for (int channel = 0; channel < numChannels; ++channel)
                filterChannel (buffer, channel, coefficients);
        };
    }

    //==============================================================================
    // Pre-filter

    constexpr float rumbleCornerHz = 90.0f;
    constexpr float butterworthQ   = 0.707f;

    struct HumNotch { float frequencyHz, q; };
    constexpr HumNotch humNotches[] { { 50.0f, 10.0f }, { 100.0f, 10.0f }, { 150.0f, 30.0f } };

    //==============================================================================
    // Vocal EQ

    struct VoiceCorners { float highPassHz, lowPassHz; };
    constexpr VoiceCorners maleVoiceCorners  { 80.0f,  16000.0f };
    constexpr VoiceCorners otherVoiceCorners { 120.0f, 17000.0f };

    constexpr float thicknessHz = 150.0f,   thicknessQ = 0.4f, thicknessDB = 3.5f;
    constexpr float mudHz       = 300.0f,   mudQ       = 1.0f;
    constexpr float presenceHz  = 4500.0f,  presenceQ  = 1.0f;
    constexpr float airHz       = 10000.0f, airQ       = 0.707f;

    /** Cuts shallower than this are not worth a section. */
    constexpr float mudCutThresholdDB = -0.1f;

    /** The shelf always lifts the air a little more than the setting asks. */
    constexpr float airOffsetDB = 2.5f;

    /** "Male" and "Female" both hold the letters m-a-l-e, so both take the lower corners. */
    const VoiceCorners& cornersForVoice (const juce::String& voiceType)
    {
        return voiceType.containsIgnoreCase ("Male") ? maleVoiceCorners : otherVoiceCorners;
    }

    //==============================================================================
    // De-esser

    constexpr float deEsserCrossoverHz       = 5000.0f;
    constexpr float deEsserThresholdOffsetDB = -2.0f;
    constexpr float deEsserThresholdFloorDB  = -40.0f;
    constexpr float deEsserRatio = 4.0f, deEsserAttackMs = 1.0f, deEsserReleaseMs = 50.0f;

    /** Sits a little under the measured sibilance, but never so low that quiet hiss gets pumped.
        Written so that a threshold that is not a number also lands on the floor.
    */
    float deEsserWorkingThreshold (float thresholdDB) noexcept
    {
        const auto threshold = thresholdDB + deEsserThresholdOffsetDB;
        return threshold > deEsserThresholdFloorDB ? threshold : deEsserThresholdFloorDB;
    }

    /** Just under Nyquist at low rates, where 5 kHz would be out of range. */
    float deEsserCrossover (double sampleRate) noexcept
    {
        return juce::jmin ((float) sampleRate * 0.5f - 1.0f, deEsserCrossoverHz);
    }

    /** Splits one channel at the crossover, compresses its high band and adds the bands back.
        The fourth-order Linkwitz-Riley low and high bands sum to an all-pass, so where the
        compressor stays idle the magnitude is untouched and only the phase turns.
        Each channel gets its own freshly prepared pair of filters.
    */
    void deEssChannel (float* samples, int numSamples, int channel, double sampleRate, float crossoverHz,
                       juce::dsp::Compressor<float>& highBandCompressor)
    {
        using Filter = juce::dsp::LinkwitzRileyFilter<float>;
        Filter lowPass, highPass;
        lowPass.setType (juce::dsp::LinkwitzRileyFilterType::lowpass);
        highPass.setType (juce::dsp::LinkwitzRileyFilterType::highpass);
        lowPass.setCutoffFrequency (crossoverHz);
        highPass.setCutoffFrequency (crossoverHz);

        const juce::dsp::ProcessSpec monoSpec { sampleRate, (juce::uint32) numSamples, 1 };
        lowPass.prepare (monoSpec);
        highPass.prepare (monoSpec);

        // The compressor keeps one envelope per channel, so compressing each high-band sample
        // as soon as it is split gives the same result as splitting the whole recording into
        // band buffers first, without holding two more copies of it.
        for (int i = 0; i < numSamples; ++i)
        {
            const auto low  = lowPass.processSample (0, samples[i]);
            const auto high = highPass.processSample (0, samples[i]);
            samples[i] = low + highBandCompressor.processSample (channel, high);
        }
    }

    //==============================================================================
    // Expander, compressor, limiter

    constexpr float expanderRatio = 2.0f, expanderAttackMs = 1.0f, expanderReleaseMs = 300.0f;

    /** JUCE's gate takes a threshold at or below this as a level of zero. */
    constexpr float gateZeroLevelDB = -200.0f;

    /** With a zero threshold level no envelope lies below the threshold, so the gate could only
        divide silence by that zero and hand back NaN. Written so that a threshold that is not
        a number counts as zero too, as it does in JUCE.
    */
    bool expanderCanAct (float thresholdDB) noexcept
    {
        return thresholdDB > gateZeroLevelDB;
    }

    constexpr float optoThresholdDB = -18.0f, optoRatio = 3.0f, optoAttackMs = 12.0f, optoReleaseMs = 250.0f;

    constexpr float limiterReleaseMs = 50.0f;

    //==============================================================================
    // Saturation

    constexpr float saturationShelfHz     = 14000.0f;
    constexpr float saturationShelfQ      = 0.707f;
    constexpr float saturationShelfGainDB = -1.0f;

    /** The saturation curve in place: t = gain x, y = t / (|t| + 1). Odd-symmetric, slope
        `gain` at zero, and never beyond +-1 for a finite input. Three plain single-precision
        operations per sample over contiguous memory, so a vectorised loop gives exactly the
        bits of the scalar one.
    */
    void applySoftClip (float* samples, int numSamples, float gain) noexcept
    {
        for (int i = 0; i < numSamples; ++i)
        {
            const float driven = gain * samples[i];
            samples[i] = driven / (std::abs (driven) + 1.0f);
        }
    }
}

//==============================================================================
AudioPipeline::Result AudioPipeline::process (const juce::File&, const juce::File&, const Config&)
{
    // Placeholder until the per-file road lands.
    Result result;
    result.errorMessage = "Processing is not available yet";
    return result;
}

//==============================================================================
void AudioPipeline::applyPreFilter (juce::AudioBuffer<float>& buffer, double sampleRate, bool hasGridHum)
{
    const auto applyBiquad = makeBiquadApplier (buffer);

    applyBiquad (Coefficients::makeHighPass (sampleRate, limitToCornerCeiling (rumbleCornerHz, sampleRate), butterworthQ));
    juce::Logger::writeToLog ("[AudioPipeline/PreFilter] Applied HPF at 90Hz");

    if (! hasGridHum)
        return;

    for (const auto& notch : humNotches)
        applyBiquad (Coefficients::makeNotch (sampleRate, limitToCornerCeiling (notch.frequencyHz, sampleRate), notch.q));

    juce::Logger::writeToLog ("[AudioPipeline/PreFilter] Applied 50/100/150Hz Grid Hum Eradication (Gated)");
}

void AudioPipeline::applyVocalEQ (juce::AudioBuffer<float>& buffer, double sampleRate, const juce::String& voiceType,
                                  float airDB, float presenceDB, float mudCutDB)
{
    const auto applyBiquad = makeBiquadApplier (buffer);
    const auto& corners = cornersForVoice (voiceType);
    const auto corner = [sampleRate] (float frequency) { return limitToCornerCeiling (frequency, sampleRate); };
    using juce::Decibels;

    applyBiquad (Coefficients::makeHighPass (sampleRate, corner (corners.highPassHz), butterworthQ));
    applyBiquad (Coefficients::makePeakFilter (sampleRate, corner (thicknessHz), thicknessQ, Decibels::decibelsToGain (thicknessDB)));

    if (mudCutDB < mudCutThresholdDB)
        applyBiquad (Coefficients::makePeakFilter (sampleRate, corner (mudHz), mudQ, Decibels::decibelsToGain (mudCutDB)));

    applyBiquad (Coefficients::makePeakFilter (sampleRate, corner (presenceHz), presenceQ, Decibels::decibelsToGain (presenceDB)));
    applyBiquad (Coefficients::makeHighShelf (sampleRate, corner (airHz), airQ, Decibels::decibelsToGain (airDB + airOffsetDB)));
    applyBiquad (Coefficients::makeLowPass (sampleRate, corner (corners.lowPassHz), butterworthQ));

    juce::Logger::writeToLog ("[AudioPipeline/EQ] Applied " + voiceType + " vocal EQ: "
                              + "Thickness=" + oneDecimal (thicknessDB) + "dB, "
                              + "MudCut=" + oneDecimal (mudCutDB) + "dB, "
                              + "Presence=" + oneDecimal (presenceDB) + "dB, "
                              + "AirShelf=" + oneDecimal (airDB) + "dB");
}

//==============================================================================
void AudioPipeline::applyMakeupGain (juce::AudioBuffer<float>& buffer, float gainDB)
{
    const auto factor = juce::Decibels::decibelsToGain (gainDB);
    buffer.applyGain (0, buffer.getNumSamples(), factor);

    juce::Logger::writeToLog ("[AudioPipeline/Gain] Applied makeup gain: " + juce::String (gainDB > 0.0f ? "+" : "")
                              + oneDecimal (gainDB) + "dB (x" + juce::String (factor, 3, false) + ")");
}

void AudioPipeline::applyDeEsser (juce::AudioBuffer<float>& buffer, double sampleRate, float thresholdDB)
{
    const auto workingThresholdDB = deEsserWorkingThreshold (thresholdDB);

    if (hasAudio (buffer))
    {
        const auto numChannels = buffer.getNumChannels();

        juce::dsp::Compressor<float> highBandCompressor;
        prepareDynamics (highBandCompressor, workingThresholdDB, deEsserRatio, deEsserAttackMs, deEsserReleaseMs,
                         wholeBufferSpec (buffer, sampleRate, numChannels));

        const auto crossoverHz = deEsserCrossover (sampleRate);

        for (int channel = 0; channel < numChannels; ++channel)
            deEssChannel (buffer.getWritePointer (channel), buffer.getNumSamples(), channel,
                          sampleRate, crossoverHz, highBandCompressor);
    }

    juce::Logger::writeToLog ("[AudioPipeline/DeEsser] Applied LR-5kHz Crossover De-esser (Threshold="
                              + oneDecimal (workingThresholdDB) + "dB)");
}

void AudioPipeline::applyExpander (juce::AudioBuffer<float>& buffer, double sampleRate, float thresholdDB)
{
    if (hasAudio (buffer) && expanderCanAct (thresholdDB))
    {
        // JUCE's noise gate with a finite ratio is a downward expander: below the threshold
        // every decibel becomes two, above it the gain is 1.
        juce::dsp::NoiseGate<float> expander;
        prepareDynamics (expander, thresholdDB, expanderRatio, expanderAttackMs, expanderReleaseMs,
                         wholeBufferSpec (buffer, sampleRate, buffer.getNumChannels()));

        processSampleBySample (expander, buffer);
    }

    juce::Logger::writeToLog ("[AudioPipeline/Expander] Applied Downward Expander (Threshold="
                              + oneDecimal (thresholdDB) + "dB, Ratio=2:1)");
}

void AudioPipeline::applyOptoCompressor (juce::AudioBuffer<float>& buffer, double sampleRate)
{
    if (hasAudio (buffer))
    {
        // Slow attack and release let syllables through and ride the phrase level, as an
        // optical leveller would.
        juce::dsp::Compressor<float> compressor;
        prepareDynamics (compressor, optoThresholdDB, optoRatio, optoAttackMs, optoReleaseMs,
                         wholeBufferSpec (buffer, sampleRate, buffer.getNumChannels()));

        processSampleBySample (compressor, buffer);
    }

    juce::Logger::writeToLog ("[AudioPipeline/Compressor] Applied Serial Opto-Style Leveler (LA-2A Topology)");
}

void AudioPipeline::applyLimiter (juce::AudioBuffer<float>& buffer, double sampleRate, float ceilingDB)
{
    if (hasAudio (buffer))
    {
        // JUCE's limiter adds its own constant make-up gain after its two compressor stages and
        // then hard-clips at full scale, so the output never exceeds +-1 but its peak is not held
        // at the ceiling; the output trim that follows sets the final peak.
        juce::dsp::Limiter<float> limiter;
        limiter.setThreshold (ceilingDB);
        limiter.setRelease (limiterReleaseMs);
        limiter.prepare (wholeBufferSpec (buffer, sampleRate, buffer.getNumChannels()));

        juce::dsp::AudioBlock<float> block (buffer);
        limiter.process (juce::dsp::ProcessContextReplacing<float> (block));
    }

    juce::Logger::writeToLog ("[AudioPipeline/Limiter] Applied True Peak Limiter (Ceiling="
                              + oneDecimal (ceilingDB) + " dBTP)");
}

void AudioPipeline::applyHarmonicSaturation (juce::AudioBuffer<float>& buffer, double sampleRate, float driveDB)
{
    const auto numChannels = buffer.getNumChannels();

    if (numChannels > 0)
    {
        const auto gain = juce::Decibels::decibelsToGain (driveDB);

        // The whole recording is shaped before any filtering.
        for (int channel = 0; channel < numChannels; ++channel)
            applySoftClip (buffer.getWritePointer (channel), buffer.getNumSamples(), gain);

        // The curve adds upper harmonics; a gentle shelf takes the edge off them.
        const auto shelfHz = limitToCornerCeiling (saturationShelfHz, sampleRate);
        const auto shelfGain = juce::Decibels::decibelsToGain (saturationShelfGainDB);

        const auto applyBiquad = makeBiquadApplier (buffer);
        applyBiquad (Coefficients::makeHighShelf (sampleRate, shelfHz, saturationShelfQ, shelfGain));
    }

    juce::Logger::writeToLog ("[AudioPipeline/Saturation] Applied Tape Saturation + 14kHz LPF Roll-off (Drive=+"
                              + oneDecimal (driveDB) + "dB)");
}
