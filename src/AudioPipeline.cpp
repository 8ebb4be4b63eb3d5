#include "AudioPipeline.h"
#include "NoiseReducer.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <string>

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

    /** One second-order section's normalised coefficients. */
    struct Biquad
    {
        float b0, b1, b2, a1, a2;
    };

    /** Runs N second-order sections over one channel in a single pass, each from rest and
        with exactly the operations, in the same order, that juce::dsp::IIR::Filter uses, so
        the result is bit for bit that of running the sections one after another. Each
        section's feedback loop is a chain of dependent multiplies and adds; running the
        sections together lets the processor overlap those chains instead of waiting on each.
    */
    template <size_t N>
    void runBiquadChain (float* samples, int numSamples, const Biquad* sections) noexcept
    {
        Biquad c[N];
        float s1[N] = {}, s2[N] = {};

        for (size_t k = 0; k < N; ++k)
            c[k] = sections[k];

        for (int i = 0; i < numSamples; ++i)
        {
            auto x = samples[i];

            for (size_t k = 0; k < N; ++k)
            {
                const auto input = x;
                const auto output = (input * c[k].b0) + s1[k];
                s1[k] = (input * c[k].b1) - (output * c[k].a1) + s2[k];
                s2[k] = (input * c[k].b2) - (output * c[k].a2);
                x = output;
            }

            samples[i] = x;
        }
    }

    /** Second-order sections to be run, in the order added, over every channel of a buffer,
        each channel from rest, so no state leaks between channels or sections.
    */
    class BiquadChain
    {
    public:
        void add (const CoefficientsPtr& coefficients)
        {
            if (coefficients != nullptr)
                sections.add (coefficients);
        }

        void process (juce::AudioBuffer<float>& buffer) const
        {
            if (buffer.getNumSamples() == 0)
                return;

            if (! canRunTogether())
            {
                for (const auto& section : sections)
                    for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
                        filterChannel (buffer, channel, section);

                return;
            }

            Biquad biquads[maxTogether];

            for (int k = 0; k < sections.size(); ++k)
            {
                const auto* raw = sections.getReference (k)->getRawCoefficients();
                biquads[k] = { raw[0], raw[1], raw[2], raw[3], raw[4] };
            }

            using Runner = void (*) (float*, int, const Biquad*) noexcept;
            static constexpr Runner runners[maxTogether + 1] { nullptr,
                runBiquadChain<1>, runBiquadChain<2>, runBiquadChain<3>, runBiquadChain<4>,
                runBiquadChain<5>, runBiquadChain<6>, runBiquadChain<7>, runBiquadChain<8> };

            for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
                runners[sections.size()] (buffer.getWritePointer (channel), buffer.getNumSamples(), biquads);
        }

    private:
        static constexpr int maxTogether = 8;

        bool canRunTogether() const
        {
            if (sections.isEmpty() || sections.size() > maxTogether)
                return false;

            for (const auto& section : sections)
                if (section->getFilterOrder() != 2)
                    return false;

            return true;
        }

        juce::Array<CoefficientsPtr> sections;
    };

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
void AudioPipeline::applyPreFilter (juce::AudioBuffer<float>& buffer, double sampleRate, bool hasGridHum)
{
    BiquadChain chain;
    chain.add (Coefficients::makeHighPass (sampleRate, limitToCornerCeiling (rumbleCornerHz, sampleRate), butterworthQ));

    if (hasGridHum)
        for (const auto& notch : humNotches)
            chain.add (Coefficients::makeNotch (sampleRate, limitToCornerCeiling (notch.frequencyHz, sampleRate), notch.q));

    chain.process (buffer);

    juce::Logger::writeToLog ("[AudioPipeline/PreFilter] Applied HPF at 90Hz");

    if (hasGridHum)
        juce::Logger::writeToLog ("[AudioPipeline/PreFilter] Applied 50/100/150Hz Grid Hum Eradication (Gated)");
}

void AudioPipeline::applyVocalEQ (juce::AudioBuffer<float>& buffer, double sampleRate, const juce::String& voiceType,
                                  float airDB, float presenceDB, float mudCutDB)
{
    BiquadChain chain;
    const auto& corners = cornersForVoice (voiceType);
    const auto corner = [sampleRate] (float frequency) { return limitToCornerCeiling (frequency, sampleRate); };
    using juce::Decibels;

    chain.add (Coefficients::makeHighPass (sampleRate, corner (corners.highPassHz), butterworthQ));
    chain.add (Coefficients::makePeakFilter (sampleRate, corner (thicknessHz), thicknessQ, Decibels::decibelsToGain (thicknessDB)));

    if (mudCutDB < mudCutThresholdDB)
        chain.add (Coefficients::makePeakFilter (sampleRate, corner (mudHz), mudQ, Decibels::decibelsToGain (mudCutDB)));

    chain.add (Coefficients::makePeakFilter (sampleRate, corner (presenceHz), presenceQ, Decibels::decibelsToGain (presenceDB)));
    chain.add (Coefficients::makeHighShelf (sampleRate, corner (airHz), airQ, Decibels::decibelsToGain (airDB + airOffsetDB)));
    chain.add (Coefficients::makeLowPass (sampleRate, corner (corners.lowPassHz), butterworthQ));
    chain.process (buffer);

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

        BiquadChain shelf;
        shelf.add (Coefficients::makeHighShelf (sampleRate, shelfHz, saturationShelfQ, shelfGain));
        shelf.process (buffer);
    }

    juce::Logger::writeToLog ("[AudioPipeline/Saturation] Applied Tape Saturation + 14kHz LPF Roll-off (Drive=+"
                              + oneDecimal (driveDB) + "dB)");
}

//==============================================================================
// The per-file road
namespace
{
    //==============================================================================
    // Loading and writing whole files

    /** Every file stream of the road is buffered this much. */
    constexpr size_t streamBufferSize = 32768;

    constexpr int outputBitsPerSample = 16;

    /** The most channels a recording may have. JUCE's WAV writer names every channel by a
        channel type, and its types end at the 128th discrete channel; past that it reads
        types outside their range, and past 256 channels its float writer overruns its table
        of channel pointers. Every file the road writes goes through that writer.
    */
    constexpr int maxChannels = 128;

    /** A recording held whole in memory, with the rate and channel count its file gave. */
    struct LoadedAudio
    {
        juce::AudioBuffer<float> buffer;
        double sampleRate = 0.0;
        juce::int64 framesPresent = 0;
        unsigned int numChannels = 0;
    };

    enum class LoadOutcome { loaded, notOpened, tooManyChannels, tooLong };

    /** A FIFO, a device or a directory would block or fail inside the readers, so such an
        input is refused before anything opens it. Symbolic links are followed; a missing
        file is not refused here, its road says what is missing.
    */
    bool existsButIsNotARegularFile (const juce::File& file)
    {
        struct stat status;
        return ::stat (file.getFullPathName().toRawUTF8(), &status) == 0 && ! S_ISREG (status.st_mode);
    }

    /** The channel count as the file's header gives it. The WAV and AIFF readers take the
        header's 16-bit field as signed, so from 32768 channels on the count arrives sign-extended;
        no format holds more than 65535 channels, so the low 16 bits are the file's own figure.
    */
    unsigned int channelsInHeader (const juce::AudioFormatReader& reader) noexcept
    {
        constexpr unsigned int sixteenBits = 0xffff;
        return reader.numChannels > sixteenBits ? (reader.numChannels & sixteenBits) : reader.numChannels;
    }

    /** Reads the whole file into memory through a fresh format manager. A recording longer
        than a buffer can index is refused rather than cut short.
    */
    LoadOutcome loadWholeFile (const juce::File& file, LoadedAudio& audio)
    {
        juce::AudioFormatManager formats;
        formats.registerBasicFormats();
        std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));

        if (reader == nullptr)
            return LoadOutcome::notOpened;

        // Decided from the header alone, before a single sample is read or measured.
        audio.numChannels = channelsInHeader (*reader);

        if (reader->numChannels > (unsigned int) maxChannels)
            return LoadOutcome::tooManyChannels;

        audio.framesPresent = NoiseReducer::countFramesPresent (file, *reader);

        if (audio.framesPresent > std::numeric_limits<int>::max())
            return LoadOutcome::tooLong;

        const auto numSamples = (int) audio.framesPresent;
        audio.sampleRate = reader->sampleRate;
        audio.buffer.setSize ((int) reader->numChannels, numSamples);
        reader->read (&audio.buffer, 0, numSamples, 0, true, true);
        return LoadOutcome::loaded;
    }

    juce::String describeTooLong (const juce::File& file, juce::int64 framesPresent)
    {
        return "Audio file too long to process (" + juce::String (framesPresent) + " samples per channel, at most "
               + juce::String (std::numeric_limits<int>::max()) + "): " + file.getFullPathName();
    }

    juce::String describeTooManyChannels (const juce::File& file, unsigned int numChannels)
    {
        return "Too many channels to process (" + juce::String (numChannels) + " channels, at most "
               + juce::String (maxChannels) + "): " + file.getFullPathName();
    }

    enum class WriteOutcome { written, notOpened, noWriter, failed };

    /** Writes the buffer as a 16-bit PCM WAV file without metadata, replacing the file. Every
        write is checked and the data reaches the disk before the file counts as written, since
        the caller goes on to rename it into place.
    */
    WriteOutcome writeWav16 (const juce::File& file, const juce::AudioBuffer<float>& buffer, double sampleRate)
    {
        // An output stream appends to what is there.
        file.deleteFile();
        std::unique_ptr<juce::FileOutputStream> stream (file.createOutputStream (streamBufferSize));

        if (stream == nullptr)
            return WriteOutcome::notOpened;

        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (stream.get(), sampleRate,
                                                                              (unsigned int) buffer.getNumChannels(),
                                                                              outputBitsPerSample, {}, 0));
        if (writer == nullptr)
        {
            stream.reset();
            file.deleteFile();
            return WriteOutcome::noWriter;
        }

        auto& fileStream = *stream.release();   // the writer owns it now
        const bool wrote = writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples());
        const bool headerWritten = writer->flush();
        fileStream.flush();
        const bool streamOk = fileStream.getStatus().wasOk();
        writer.reset();

        const auto dataBytes = (juce::int64) buffer.getNumChannels() * buffer.getNumSamples() * (outputBitsPerSample / 8);
        if (wrote && headerWritten && streamOk && file.getSize() >= dataBytes)
            return WriteOutcome::written;

        // A part-written file must never be taken for the audio.
        file.deleteFile();
        return WriteOutcome::failed;
    }

    /** A byte copy that counts only when every byte arrived. */
    bool copyWholeFile (const juce::File& source, const juce::File& destination)
    {
        if (! source.copyFileTo (destination) || destination.getSize() != source.getSize())
        {
            destination.deleteFile();
            return false;
        }

        // Some systems give a copy its source's times; this copy is new, and leftovers of
        // earlier runs are told apart by their times.
        destination.setLastModificationTime (juce::Time::getCurrentTime());
        return true;
    }

    //==============================================================================
    // Files of one call

    constexpr const char* prefilteredName   = "_stage0_prefiltered.wav";
    constexpr const char* denoisedName      = "_stage1_denoised.wav";
    constexpr const char* feedSuffix        = "_asr_feed.wav";
    constexpr const char* workPrefix        = "_pipeline_work_";
    constexpr const char* pendingOutputName = "_output_in_progress.wav";
    constexpr const char* noiseWorkPattern  = "_df3_work_*";

    /** When this program started: a denoised stage file older than that was left by an earlier run. */
    const juce::Time programStartTime = juce::Time::getCurrentTime();

    /** File times may have whole-second resolution, so a file counts as older than this run
        only when it is from an earlier second; one from the start's own second is kept.
    */
    bool predatesThisRun (const juce::File& file)
    {
        const auto startSecondMs = programStartTime.toMilliseconds() / 1000 * 1000;
        return file.getLastModificationTime().toMilliseconds() < startSecondMs;
    }

    /** What this run has put onto fixed names in its output directories, and the inputs
        it must leave alone.

        Calls that write into one directory meet here, and only here: a side file never
        replaces an output that another call put in place, nor an input of the run, which
        another call may not have read yet; a denoised file is only removed as a leftover
        when this run did not write it and it is no input of the run. One lock covers every
        rename onto a fixed name and the leftover's removal, so that no call's check can be
        overtaken by another call's rename.
    */
    class RunRecord
    {
    public:
        static RunRecord& get()
        {
            static RunRecord record;
            return record;
        }

        /** Takes the inputs of the run about to start, in place of those of an earlier run. */
        void protectInputs (const juce::Array<juce::File>& inputFiles)
        {
            std::set<std::string> keys;

            for (const auto& file : inputFiles)
            {
                keys.insert (keyOf (file));
                keys.insert (keyOfTarget (file));   // a symbolic link's file is that input too
            }

            const std::lock_guard<std::mutex> guard (mutex);
            inputs.swap (keys);
        }

        /** True when the output would land on an input of the run other than the call's own,
            which that input's own call may not have read yet.
        */
        bool isAnotherInput (const juce::File& output, const juce::File& inputFile)
        {
            if (keyOfTarget (output) == keyOfTarget (inputFile))
                return false;

            const auto key = keyOf (output);
            const std::lock_guard<std::mutex> guard (mutex);
            return inputs.count (key) > 0;
        }

        /** Renames a side file onto its name, unless an output or an input of this run is
            there; the side file is then not kept. False when the rename failed.
        */
        bool placeSideFile (const juce::File& sideFile, const juce::File& destination)
        {
            const auto key = keyOf (destination);
            const std::lock_guard<std::mutex> guard (mutex);

            if (outputs.count (key) > 0 || inputs.count (key) > 0)
                return true;

            if (! sideFile.replaceFileIn (destination))
                return false;

            written.insert (key);
            return true;
        }

        /** Renames the finished output onto its name, in one step. A directory in its place
            stays as it is and the output fails: JUCE's rename would remove an empty one.
        */
        bool placeOutput (const juce::File& finished, const juce::File& output)
        {
            const auto key = keyOf (output);
            const std::lock_guard<std::mutex> guard (mutex);

            if (output.isDirectory() || ! finished.replaceFileIn (output))
                return false;

            outputs.insert (key);
            written.insert (key);
            return true;
        }

        /** Removes the file when an earlier run left it there: it is not the input, no input
            of this run, this run did not write it, and it is older than this run.
        */
        void removeLeftover (const juce::File& file, const juce::File& inputFile)
        {
            const auto key = keyOf (file);
            const std::lock_guard<std::mutex> guard (mutex);

            if (file.existsAsFile() && file != inputFile && written.count (key) == 0 && inputs.count (key) == 0
                 && predatesThisRun (file))
                file.deleteFile();
        }

    private:
        RunRecord() = default;

        /** The path with every symbolic link in it resolved, or nothing when it cannot be. */
        static std::optional<juce::String> resolve (const juce::File& file)
        {
            char resolved[PATH_MAX];

            if (::realpath (file.getFullPathName().toRawUTF8(), resolved) == nullptr)
                return std::nullopt;

            return juce::String::fromUTF8 (resolved);
        }

        static std::string toKey (const juce::String& path)
        {
            return (juce::File::areFileNamesCaseSensitive() ? path : path.toLowerCase()).toStdString();
        }

        /** A path as the file system tells names apart. Its directory is resolved, so that two
            spellings of one directory ("out", "./out", a link to it) give one key; the name
            itself is kept, since a rename onto a symbolic link replaces the link.
        */
        static std::string keyOf (const juce::File& file)
        {
            const auto directory = resolve (file.getParentDirectory());

            if (! directory.has_value())
                return toKey (file.getFullPathName());

            return toKey (juce::File (*directory).getChildFile (file.getFileName()).getFullPathName());
        }

        /** The key of the file a path leads to, through any symbolic link. */
        static std::string keyOfTarget (const juce::File& file)
        {
            const auto target = resolve (file);
            return target.has_value() ? toKey (*target) : keyOf (file);
        }

        std::mutex mutex;
        std::set<std::string> outputs, written, inputs;
    };

    /** The intermediate files of one call.

        They are written in a directory of the call's own inside the output directory, so
        calls into one directory at the same time never read or write each other's audio,
        and when the call ends they are put onto their fixed names beside the output with a
        rename, the output last. Nothing half-written ever appears under those names; a call
        that dies leaves only its work directory.
    */
    class CallFiles
    {
    public:
        CallFiles (const juce::File& input, const juce::File& output)
            : inputFile (input), outputFile (output),
              outputDirectory (output.getParentDirectory()),
              feedName (input.getFileNameWithoutExtension() + feedSuffix)
        {
            ready = makeWorkDirectory();
        }

        /** Only an exception gets here with the call still open; the audio made so far stays. */
        ~CallFiles()
        {
            if (closed)
                return;

            try
            {
                close (false, false);
            }
            catch (...)
            {
                // Out of memory while already unwinding: the work directory stays as it is.
            }
        }

        bool isReady() const noexcept                { return ready; }
        bool isClosed() const noexcept               { return closed; }

        juce::File prefiltered() const               { return workDirectory.getChildFile (prefilteredName); }
        juce::File denoised() const                  { return workDirectory.getChildFile (denoisedName); }
        juce::File feed() const                      { return workDirectory.getChildFile (feedName); }
        juce::File pendingOutput() const             { return workDirectory.getChildFile (pendingOutputName); }

        /** Where a file of the work directory will be found once the call has ended. */
        juce::File finalPlaceOf (const juce::File& file) const
        {
            return file.isAChildOf (workDirectory) ? outputDirectory.getChildFile (file.getFileName()) : file;
        }

        /** Ends the call: the side files go onto their names, then, when withOutput is set
            and they all got there, the finished output onto its own. When outputReplacesDenoised
            is set, the denoised audio has served its purpose once the output is in place and is
            not kept; if the output could not take its place, it stays like the other side files.
            Returns the first failure's message, or an empty text.
        */
        juce::String close (bool withOutput, bool outputReplacesDenoised)
        {
            closed = true;

            if (! ready)
                return {};

            auto error = placeSideFile (prefilteredName);
            error = firstError (error, placeSideFile (feedName));

            if (! outputReplacesDenoised)
                error = firstError (error, placeSideFile (denoisedName));

            bool outputPlaced = false;

            if (withOutput && error.isEmpty())
            {
                outputPlaced = RunRecord::get().placeOutput (pendingOutput(), outputFile);

                if (! outputPlaced)
                    error = "Failed to create output file: " + outputFile.getFullPathName();
            }

            if (outputReplacesDenoised && ! outputPlaced)
                error = firstError (error, placeSideFile (denoisedName));

            if (keepNoiseReducerLeftovers())
                workDirectory.deleteRecursively();

            return error;
        }

    private:
        /** The output directory may be missing, and calls that start together may each
            create it; the loser of that race sees an error although the directory is there.
        */
        static constexpr int maxWorkDirectoryAttempts = 3;

        /** Makes the call's work directory, exclusively: a name that already exists belongs
            to someone else, so the call takes another. A failure to make it is tried again
            after making sure the output directory is there.
        */
        bool makeWorkDirectory()
        {
            for (int attempt = 0; attempt < maxWorkDirectoryAttempts; ++attempt)
            {
                if (! outputDirectory.isDirectory())
                    outputDirectory.createDirectory();

                workDirectory = NoiseReducer::createOwnDirectory (outputDirectory, workPrefix);

                if (workDirectory != juce::File())
                    return true;
            }

            return false;
        }

        static juce::String firstError (const juce::String& first, const juce::String& second)
        {
            return first.isNotEmpty() ? first : second;
        }

        juce::String placeSideFile (const juce::String& name) const
        {
            const auto sideFile = workDirectory.getChildFile (name);
            const auto destination = outputDirectory.getChildFile (name);

            // Neither the input nor the call's own output is ever written over; that side file
            // is then not kept.
            if (! sideFile.existsAsFile() || destination == inputFile || destination == outputFile)
                return {};

            if (! RunRecord::get().placeSideFile (sideFile, destination))
                return "Failed to write " + destination.getFullPathName();

            return {};
        }

        /** What the denoiser left after a failure stays for inspection, beside the output.
            One that cannot be moved there stays where it is, and so does the work directory
            around it; the file's own outcome does not depend on it. False when one stayed.
        */
        bool keepNoiseReducerLeftovers() const
        {
            bool allMoved = true;

            for (const auto& leftover : workDirectory.findChildFiles (juce::File::findDirectories, false, noiseWorkPattern))
            {
                const auto destination = outputDirectory.getChildFile (leftover.getFileName());

                if (! leftover.moveFileTo (destination))
                {
                    allMoved = false;
                    juce::Logger::writeToLog ("[AudioPipeline] WARNING: Could not move the denoiser's leftovers to "
                                              + destination.getFullPathName() + "; they stay in "
                                              + leftover.getFullPathName());
                }
            }

            return allMoved;
        }

        const juce::File inputFile, outputFile, outputDirectory;
        juce::File workDirectory;
        const juce::String feedName;
        bool ready = false, closed = false;

        JUCE_DECLARE_NON_COPYABLE (CallFiles)
    };

    //==============================================================================
    // Log lines

    const char* onOff (bool isOn) noexcept    { return isOn ? "ON" : "OFF"; }

    juce::String ruleLine()    { return juce::String::repeatedString ("=", 40); }

    void logBanner (const juce::File& inputFile, const AudioPipeline::Config& config)
    {
        juce::Logger::writeToLog (ruleLine());
        juce::Logger::writeToLog ("[AudioPipeline] Processing: " + inputFile.getFullPathName());
        juce::Logger::writeToLog (juce::String ("[AudioPipeline] Denoise=") + onOff (config.denoise)
                                  + " Compressor=" + onOff (config.compressor)
                                  + " EQ=" + onOff (config.eq)
                                  + " Voice=" + config.voiceType);
    }

    void logAutoMap (const AudioPipeline::AutoMapSettings& settings, const AudioAnalyzer::AnalysisResult& analysis)
    {
        juce::Logger::writeToLog ("[AutoMap] DF3 Atten=" + oneDecimal (settings.attenuationLimitDB)
                                  + " Comp Ratio=" + oneDecimal (settings.compRatio) + ":1"
                                  + " MudCut=" + oneDecimal (settings.mudCutDB) + "dB"
                                  + " EQ Air=" + oneDecimal (settings.eqAirDB) + "dB"
                                  + " Sibilance=" + oneDecimal ((float) analysis.sibilanceDBFS) + "dBFS");
    }

    //==============================================================================
    // Settings from the analysis

    constexpr double noisySnrDB = 15.0, cleanSnrDB = 30.0;
    constexpr float noisyAttenuationDB = 15.0f, cleanAttenuationDB = 10.0f, usualAttenuationDB = 12.0f;

    /** Above this crest factor the recording is very dynamic: a firmer ratio in the log and more drive. */
    constexpr double dynamicCrestDB = 18.0;
    constexpr float dynamicRatio = 4.0f, usualRatio = 2.0f;
    constexpr float dynamicDriveDB = 0.5f, usualDriveDB = 0.2f;

    /** A spectrum falling faster than this per octave is dark; rising faster, bright. */
    constexpr double darkTiltDB = -3.0, brightTiltDB = 3.0;
    constexpr float darkMudCutDB = -3.0f;
    constexpr float darkAirDB = 4.0f, brightAirDB = -2.0f, usualAirDB = 2.0f;
    constexpr float brightPresenceDB = 1.0f, usualPresenceDB = 3.0f;

    /** The expander starts a little above the measured noise floor. */
    constexpr float expanderAboveNoiseDB = 3.0f;

    //==============================================================================
    // Stage chain

    /** Loudness at or below this is silence: no gain is derived from it. */
    constexpr float silentLoudnessLUFS = -140.0f;
    constexpr double silentSibilanceDBFS = -140.0;
    constexpr float noSibilanceThresholdDB = -144.0f;

    /** The pre-gain lifts a quiet recording by at most this much. */
    constexpr float maxPreGainDB = 12.0f;

    constexpr float limiterCeilingDB = -1.0f;

    /** After the limiter every recording is scaled to this peak, -5.5 dBFS. */
    const float outputPeakTarget = std::pow (10.0f, -0.275f);
    constexpr float trimFloorMagnitude = 1.0e-6f;

    /** Peaks at or below this read as silence in the peak report. */
    constexpr float silentPeak = 1.0e-10f;
    constexpr float silentPeakDBFS = -144.0f;
    constexpr float peakWarningDBFS = -1.0f;

    /** Counted in 64 bits: a recording may hold more than 2^31 samples over all its channels. */
    juce::int64 countNonFiniteSamples (const juce::AudioBuffer<float>& buffer) noexcept
    {
        juce::int64 count = 0;

        for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
        {
            const auto* samples = buffer.getReadPointer (channel);

            for (int i = 0; i < buffer.getNumSamples(); ++i)
                if (! std::isfinite (samples[i]))
                    ++count;
        }

        return count;
    }

    /** The largest absolute sample over all channels; 0 for a buffer without samples, where
        JUCE's vector operations have nothing to point at.
    */
    float magnitudeOf (const juce::AudioBuffer<float>& buffer) noexcept
    {
        return buffer.getNumSamples() > 0 ? buffer.getMagnitude (0, buffer.getNumSamples()) : 0.0f;
    }
}

//==============================================================================
AudioPipeline::AutoMapSettings AudioPipeline::mapAnalysisToSettings (const AudioAnalyzer::AnalysisResult& analysis)
{
    const auto snr = analysis.snrDB;
    const auto crest = analysis.crestFactorDB;
    const auto tilt = analysis.spectralTiltDB;

    // Every test is strict, so a measurement that is not a number takes the last choice.
    AutoMapSettings settings;
    settings.attenuationLimitDB = snr < noisySnrDB ? noisyAttenuationDB : (snr > cleanSnrDB ? cleanAttenuationDB : usualAttenuationDB);
    settings.compRatio          = crest > dynamicCrestDB ? dynamicRatio : usualRatio;
    settings.saturationDriveDB  = crest > dynamicCrestDB ? dynamicDriveDB : usualDriveDB;
    settings.mudCutDB           = tilt < darkTiltDB ? darkMudCutDB : 0.0f;
    settings.eqAirDB            = tilt < darkTiltDB ? darkAirDB : (tilt > brightTiltDB ? brightAirDB : usualAirDB);
    settings.presenceDB         = tilt > brightTiltDB ? brightPresenceDB : usualPresenceDB;
    settings.expanderBaseDB     = (float) analysis.noiseFloorDBFS + expanderAboveNoiseDB;
    return settings;
}

bool AudioPipeline::runStageChain (juce::AudioBuffer<float>& buffer, double sampleRate, const Config& config,
                                   const AutoMapSettings& settings, Result& result, double startTimeMs)
{
    const auto numSamples = buffer.getNumSamples();
    const auto isBypassed = [&config] (BypassStage stage) { return config.bypassStage == stage; };
    const auto log = [] (const juce::String& message) { juce::Logger::writeToLog (message); };

    const auto checkFinite = [&] (const juce::String& stageName)
    {
        const auto count = countNonFiniteSamples (buffer);

        if (count == 0)
            return true;

        result.errorMessage = "Invalid non-finite audio after " + stageName;
        result.processingTimeMs = juce::Time::getMillisecondCounterHiRes() - startTimeMs;
        log ("[AudioPipeline] ERROR: " + result.errorMessage + " (" + juce::String (count) + " samples)");
        return false;
    };

    const auto logStagePeak = [&] (const juce::String& stageName)
    {
        const auto peak = magnitudeOf (buffer);
        const auto level = buffer.getNumChannels() > 0 && peak > silentPeak ? juce::Decibels::gainToDecibels (peak)
                                                                            : silentPeakDBFS;
        log ("[GainStaging] Peak after " + stageName + ": " + juce::String (level, 2, false) + " dBFS"
             + (level > peakWarningDBFS ? " [WARNING: EXCEEDS -1.0 dBFS]" : ""));
    };

    /** The check after a stage, and its peak report when the check passed. */
    const auto stageEnds = [&] (const juce::String& checkName, const juce::String& peakName)
    {
        if (! checkFinite (checkName))
            return false;

        logStagePeak (peakName);
        return true;
    };

    const auto targetText = oneDecimal (config.targetLUFS);

    // Load
    if (! checkFinite ("File Load"))
        return false;

    log ("[AudioPipeline] Loaded audio: " + juce::String (buffer.getNumChannels()) + "ch, " + juce::String (sampleRate)
         + "Hz, " + juce::String (numSamples) + " samples (" + juce::String (numSamples / sampleRate, 2, false) + "s)");
    logStagePeak ("File Load");

    // Pre-gain: brings the recording near the target before the dynamics, so their
    // thresholds act on a known level.
    log ("[AudioPipeline] Stage 1.6: Pre-Gain Leveling (Target: " + targetText + " LUFS)");
    const auto inputAnalysis = AudioAnalyzer::analyze (buffer, sampleRate);
    const auto inputLUFS = (float) inputAnalysis.integratedLUFS;
    const bool preGainRuns = inputLUFS > silentLoudnessLUFS && ! isBypassed (bypassPreGain);

    if (preGainRuns)
    {
        const auto preGainDB = juce::jmin (config.targetLUFS - inputLUFS, maxPreGainDB);
        log ("[AudioPipeline/PreGain] Input LUFS: " + oneDecimal (inputLUFS) + " -> Applying " + oneDecimal (preGainDB) + "dB");
        applyMakeupGain (buffer, preGainDB);
    }

    if (! stageEnds ("PreGain", "PreGain"))
        return false;

    // The thresholds measured before the pre-gain move by the full distance to the target,
    // not by the capped gain.
    const auto loudnessOffsetDB = config.targetLUFS - inputLUFS;

    // De-esser
    const auto deEsserThresholdDB = inputAnalysis.sibilanceDBFS > silentSibilanceDBFS
                                        ? (float) (inputAnalysis.sibilanceDBFS + loudnessOffsetDB)
                                        : noSibilanceThresholdDB;
    log ("[AudioPipeline] Stage 1.7: Dynamic De-esser");

    if (! isBypassed (bypassDeEsser))
        applyDeEsser (buffer, sampleRate, deEsserThresholdDB);

    if (! stageEnds ("De-esser", "De-esser"))
        return false;

    // Expander
    log ("[AudioPipeline] Stage 1.8: Downward Expander");
    const auto expanderThresholdDB = preGainRuns ? settings.expanderBaseDB + loudnessOffsetDB : settings.expanderBaseDB;
    applyExpander (buffer, sampleRate, expanderThresholdDB);

    if (! stageEnds ("Expander", "Expander"))
        return false;

    // EQ, before the compressor so that the compressor hears the corrected balance.
    if (config.eq && ! isBypassed (bypassEQ))
    {
        log ("[AudioPipeline] Stage 3: Corrective & Enhancement EQ (" + config.voiceType + ")");
        applyVocalEQ (buffer, sampleRate, config.voiceType, settings.eqAirDB, settings.presenceDB, settings.mudCutDB);
    }

    if (! stageEnds ("Vocal EQ", "Corrective/Enhancement EQ"))
        return false;

    // Compressor
    if (config.compressor && ! isBypassed (bypassCompressor))
    {
        log ("[AudioPipeline] Stage 2: Opto-Style Serial Leveler");
        applyOptoCompressor (buffer, sampleRate);
    }

    if (! stageEnds ("Compressor", "Compressor"))
        return false;

    // Saturation
    log ("[AudioPipeline] Stage 4: Harmonic Saturation");

    if (! isBypassed (bypassSaturation))
        applyHarmonicSaturation (buffer, sampleRate, settings.saturationDriveDB);

    if (! stageEnds ("Saturation", "Saturation"))
        return false;

    // Normalisation: the dynamics have moved the loudness, so it is measured again.
    log ("[AudioPipeline] Stage 5: Broadcast Normalization (Target: " + targetText + " LUFS)");
    const auto currentLUFS = (float) AudioAnalyzer::analyze (buffer, sampleRate).integratedLUFS;

    if (currentLUFS > silentLoudnessLUFS && ! isBypassed (bypassNormalisation))
    {
        const auto gainDB = config.targetLUFS - currentLUFS;
        log ("[AudioPipeline/Normalization] Current LUFS: " + oneDecimal (currentLUFS) + " -> Target: " + targetText
             + " (Final tweak: " + oneDecimal (gainDB) + "dB)");
        applyMakeupGain (buffer, gainDB);
    }

    if (! stageEnds ("Final Normalization", "Final Normalization"))
        return false;

    // Limiter and output trim: every recording leaves with the same peak, whatever
    // loudness that gives.
    log ("[AudioPipeline] Stage 6: True Peak Limiter");

    if (! isBypassed (bypassLimiter))
    {
        applyLimiter (buffer, sampleRate, limiterCeilingDB);

        const auto magnitude = magnitudeOf (buffer);

        if (magnitude > trimFloorMagnitude)
        {
            const auto trimGain = outputPeakTarget / magnitude;
            buffer.applyGain (0, numSamples, trimGain);
            log ("[AudioPipeline/OutputTrim] Dropped overall gain by "
                 + juce::String (juce::Decibels::gainToDecibels (trimGain), 2, false) + "dB to hit exact -5.5dB peak.");
        }
    }

    return stageEnds ("Limiter", "Limiter & Output Trim");
}

//==============================================================================
void AudioPipeline::protectRunInputs (const juce::Array<juce::File>& inputFiles)
{
    RunRecord::get().protectInputs (inputFiles);
}

//==============================================================================
// The phases of one call
namespace
{
    /** What one call carries from phase to phase. */
    struct Call
    {
        const juce::File& inputFile;
        const juce::File& outputFile;
        const AudioPipeline::Config& config;
        const double startTimeMs;

        AudioPipeline::Result result {};

        /** The audio file the next phase reads: the input, then the stage file once it is
            written, then the audio noise reduction hands back.
        */
        juce::File workingFile { inputFile };

        /** The fixed settings until the first pass has read the input. */
        AudioPipeline::AutoMapSettings settings {};
        bool inputRead = false;
    };

    /** Why a phase ended the call early. The stage chain's checks put their failure and its
        time into the result themselves; every other failure brings its message here.
    */
    struct Failure
    {
        juce::String message;
        bool alreadyInResult;

        static Failure because (const juce::String& message)    { return { message, false }; }
        static Failure recordedByTheChecks()                    { return { {}, true }; }
    };

    /** A phase's outcome: nothing when the road goes on. */
    using PhaseOutcome = std::optional<Failure>;

    void stopWatch (Call& call)
    {
        call.result.processingTimeMs = juce::Time::getMillisecondCounterHiRes() - call.startTimeMs;
    }

    /** Ends the call as failed. What was made so far is put beside the output, the output is
        not; files that a phase has already closed stay as that phase left them.
    */
    AudioPipeline::Result endFailed (Call& call, CallFiles* files, const Failure& failure)
    {
        if (files != nullptr && ! files->isClosed())
            files->close (false, false);

        // Ended before noise reduction: it did not happen, whether or not it was asked for.
        if (call.result.denoiseEngine.isEmpty())
            call.result.denoiseEngine = call.config.denoise ? "Failed" : "Skipped";

        if (! failure.alreadyInResult)
        {
            call.result.errorMessage = failure.message;
            stopWatch (call);
        }

        return std::move (call.result);
    }

    /** A placement that failed when the call's files were closed, as the call's failure. */
    PhaseOutcome placementOutcome (const juce::String& placementError)
    {
        if (placementError.isEmpty())
            return std::nullopt;

        return Failure::because (placementError);
    }

    /** Inputs the road must not touch, and outputs that would land on another input of the
        run, are refused before anything is opened or written for the file.
    */
    PhaseOutcome refuseUntouchable (const Call& call)
    {
        if (existsButIsNotARegularFile (call.inputFile))
            return Failure::because ("Not a regular file: " + call.inputFile.getFullPathName());

        if (RunRecord::get().isAnotherInput (call.outputFile, call.inputFile))
            return Failure::because ("Output would replace another input of the run: " + call.outputFile.getFullPathName());

        return std::nullopt;
    }

    //==============================================================================
    // Pass 1

    /** Measures the loaded input and chooses the road's settings from it. */
    AudioAnalyzer::AnalysisResult chooseSettings (Call& call, const LoadedAudio& input)
    {
        const auto analysis = AudioAnalyzer::analyze (input.buffer, input.sampleRate);
        call.result.analysisJSON = analysis.toJSON();

        call.settings = AudioPipeline::mapAnalysisToSettings (analysis);
        logAutoMap (call.settings, analysis);
        return analysis;
    }

    /** Stores the pre-filtered audio as the stage file the road goes on with. */
    PhaseOutcome writeStageFile (Call& call, const CallFiles& files, const LoadedAudio& audio)
    {
        const auto written = writeWav16 (files.prefiltered(), audio.buffer, audio.sampleRate);

        if (written == WriteOutcome::failed)
            return Failure::because ("Failed to write " + files.finalPlaceOf (files.prefiltered()).getFullPathName());

        // Without a stage file the road goes on with the input itself.
        if (written == WriteOutcome::written)
            call.workingFile = files.prefiltered();

        return std::nullopt;
    }

    /** Pass 1: measure the input, choose the settings, take out rumble and hum. An input that
        cannot be opened is no failure yet: the road goes on with it and the fixed settings.
        The whole-file buffer is released before noise reduction starts.
    */
    PhaseOutcome runFirstPass (Call& call, const CallFiles& files)
    {
        juce::Logger::writeToLog ("[AudioPipeline] Pass 1: Offline Analysis");

        LoadedAudio audio;
        const auto outcome = loadWholeFile (call.inputFile, audio);

        if (outcome == LoadOutcome::tooManyChannels)
            return Failure::because (describeTooManyChannels (call.inputFile, audio.numChannels));

        if (outcome == LoadOutcome::tooLong)
            return Failure::because (describeTooLong (call.inputFile, audio.framesPresent));

        if (outcome == LoadOutcome::notOpened)
        {
            juce::Logger::writeToLog ("[AudioPipeline] WARNING: Could not read input for Pass 1 analysis");
            return std::nullopt;
        }

        call.inputRead = true;
        const auto analysis = chooseSettings (call, audio);

        juce::Logger::writeToLog ("[AudioPipeline] Stage 1.5: Pre-Filtering (HPF & Grid Hum)");
        AudioPipeline::applyPreFilter (audio.buffer, audio.sampleRate, analysis.hasGridHum);

        return writeStageFile (call, files, audio);
    }

    //==============================================================================
    // Noise reduction

    NoiseReducer::Config makeNoiseReducerConfig (const Call& call)
    {
        NoiseReducer::Config noiseConfig;
        noiseConfig.deepFilterPath = call.config.deepFilterPath;
        noiseConfig.ffmpegPath = call.config.ffmpegPath;
        noiseConfig.attenuationLimitDB = call.settings.attenuationLimitDB;
        return noiseConfig;
    }

    /** The speech recogniser gets exactly the audio the voice chain starts from. */
    PhaseOutcome exportFeed (const Call& call, const CallFiles& files)
    {
        if (! copyWholeFile (call.workingFile, files.feed()))
            return Failure::because ("Failed to write " + files.finalPlaceOf (files.feed()).getFullPathName());

        juce::Logger::writeToLog ("[AudioPipeline/ASR Hook] Exported ASR feed to: " + files.feed().getFileName());
        return std::nullopt;
    }

    /** Noise reduction, when asked for. When it succeeds the road goes on with the audio it
        hands back, and the feed is made from that; when it fails the road goes on without it.
    */
    PhaseOutcome reduceNoise (Call& call, const CallFiles& files)
    {
        if (! call.config.denoise)
        {
            call.result.denoiseEngine = "Skipped";
            return std::nullopt;
        }

        juce::Logger::writeToLog ("[AudioPipeline] Stage 1: Noise Reduction");

        const auto denoised = NoiseReducer::process (call.workingFile, files.denoised(), makeNoiseReducerConfig (call));

        if (! denoised.success || ! denoised.outputFile.existsAsFile())
        {
            call.result.denoiseEngine = "Failed";
            juce::Logger::writeToLog (juce::String::fromUTF8 ("[AudioPipeline] WARNING: Denoise failed \xe2\x80\x94 continuing with original audio"));
            return std::nullopt;
        }

        call.workingFile = denoised.outputFile;
        call.result.denoiseEngine = denoised.engine == NoiseReducer::deepFilterNet3 ? "DeepFilterNet3" : "None (passthrough)";
        juce::Logger::writeToLog ("[AudioPipeline] Denoise complete. Engine: " + call.result.denoiseEngine);

        return exportFeed (call, files);
    }

    //==============================================================================
    // The two roads to the output

    /** With neither the compressor nor the EQ, the audio reached so far is the output. The
        denoised audio stays beside it.
    */
    PhaseOutcome takeCopyRoad (const Call& call, CallFiles& files)
    {
        if (! call.inputRead)
            return Failure::because ((call.inputFile.existsAsFile() ? "Failed to read audio file: " : "Input file not found: ")
                                     + call.inputFile.getFullPathName());

        const bool copyNeeded = call.workingFile != call.outputFile;

        if (copyNeeded && ! copyWholeFile (call.workingFile, files.pendingOutput()))
            return Failure::because ("Failed to copy audio to output file: " + call.outputFile.getFullPathName());

        return placementOutcome (files.close (copyNeeded, false));
    }

    /** Loads the audio reached so far for the stage chain. A failure names the file where it
        will be found once the call has ended.
    */
    PhaseOutcome reloadWorkingFile (const Call& call, const CallFiles& files, LoadedAudio& audio)
    {
        const auto outcome = loadWholeFile (call.workingFile, audio);

        if (outcome == LoadOutcome::notOpened)
            return Failure::because ("Failed to read audio file for DSP processing: " + files.finalPlaceOf (call.workingFile).getFullPathName());

        if (outcome == LoadOutcome::tooManyChannels)
            return Failure::because (describeTooManyChannels (files.finalPlaceOf (call.workingFile), audio.numChannels));

        if (outcome == LoadOutcome::tooLong)
            return Failure::because (describeTooLong (files.finalPlaceOf (call.workingFile), audio.framesPresent));

        return std::nullopt;
    }

    /** Writes the processed audio to the call's pending output. */
    PhaseOutcome writeOutput (const Call& call, const CallFiles& files, const LoadedAudio& audio)
    {
        switch (writeWav16 (files.pendingOutput(), audio.buffer, audio.sampleRate))
        {
            case WriteOutcome::notOpened:  return Failure::because ("Failed to create output file: " + call.outputFile.getFullPathName());
            case WriteOutcome::noWriter:   return Failure::because ("Failed to create WAV writer");
            case WriteOutcome::failed:     return Failure::because ("Failed to write output file: " + call.outputFile.getFullPathName());
            case WriteOutcome::written:    break;
        }

        return std::nullopt;
    }

    /** Reload, stage chain and output write; the whole-file buffer lives only this long. */
    PhaseOutcome processIntoPendingOutput (Call& call, const CallFiles& files)
    {
        LoadedAudio audio;

        if (auto failure = reloadWorkingFile (call, files, audio))
            return failure;

        if (! AudioPipeline::runStageChain (audio.buffer, audio.sampleRate, call.config, call.settings,
                                            call.result, call.startTimeMs))
            return Failure::recordedByTheChecks();

        return writeOutput (call, files, audio);
    }

    /** The stage road: the audio reached so far goes through the stage chain into the output,
        which then replaces the denoised audio beside it.
    */
    PhaseOutcome takeStageRoad (Call& call, CallFiles& files)
    {
        if (auto failure = processIntoPendingOutput (call, files))
            return failure;

        if (auto failure = placementOutcome (files.close (true, true)))
            return failure;

        // A denoised file an earlier run left beside the output goes once an output is processed.
        RunRecord::get().removeLeftover (call.outputFile.getParentDirectory().getChildFile (denoisedName), call.inputFile);
        return std::nullopt;
    }

    //==============================================================================
    AudioPipeline::Result complete (Call& call)
    {
        call.result.success = true;
        stopWatch (call);
        juce::Logger::writeToLog ("[AudioPipeline] COMPLETE. Total time: " + juce::String (call.result.processingTimeMs, 1, false) + "ms");
        juce::Logger::writeToLog (ruleLine());
        return std::move (call.result);
    }
}

AudioPipeline::Result AudioPipeline::process (const juce::File& inputFile, const juce::File& outputFile,
                                              const Config& config)
{
    Call call { inputFile, outputFile, config, juce::Time::getMillisecondCounterHiRes() };
    logBanner (inputFile, config);

    if (auto refusal = refuseUntouchable (call))
        return endFailed (call, nullptr, *refusal);

    CallFiles files (inputFile, outputFile);

    if (! files.isReady())
        return endFailed (call, &files, Failure::because ("Failed to create output file: " + outputFile.getFullPathName()));

    if (auto failure = runFirstPass (call, files))
        return endFailed (call, &files, *failure);

    if (auto failure = reduceNoise (call, files))
        return endFailed (call, &files, *failure);

    const bool copyRoad = ! config.compressor && ! config.eq;

    if (auto failure = copyRoad ? takeCopyRoad (call, files) : takeStageRoad (call, files))
        return endFailed (call, &files, *failure);

    return complete (call);
}
