// The master of one fixed take, pinned by a stored checksum of its bytes.
//
// Why it exists: the other tests compare two results that were built the same way, so a
// change that moves every result alike passes them all. A compiler that fuses multiply-adds
// (a build without -ffp-contract=off on arm64, or with FMA instructions on x86-64), a filter
// rewritten into an "equivalent" form or a different rounding in a gain changes the bits of
// every master, and only a stored result notices.
//
// Renewing it: when a change of the sound is intended, run this test, make sure the new
// master is what was meant (listen to it, measure it), and copy the size and checksum the
// failure prints into referenceMaster. The take is checked first: when its own checksum
// fails, the fixture or JUCE's WAV writer moved, not the processing.

#include <gtest/gtest.h>

#include "AudioPipeline.h"
#include "TestFiles.h"
#include "TestSupport.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

namespace
{
    constexpr double takeSampleRate = 44100.0;
    constexpr int takeChannels = 2;
    constexpr int takeSamples = 3 * 44100;

    /** The size of a file and the FNV-1a hash of its bytes. */
    struct FileDigest
    {
        juce::int64 size = 0;
        juce::uint64 checksum = 0;

        bool operator== (const FileDigest& other) const   { return size == other.size && checksum == other.checksum; }
    };

    void PrintTo (const FileDigest& digest, std::ostream* stream)
    {
        char text[64];
        std::snprintf (text, sizeof (text), "{ %" PRId64 ", 0x%016" PRIx64 "ull }", (int64_t) digest.size, (uint64_t) digest.checksum);
        *stream << text;
    }

    constexpr FileDigest referenceTake   { 529304, 0x742e4b5bc7a10713ull };
    constexpr FileDigest referenceMaster { 529304, 0xeccdfc3be4ec45a6ull };

    juce::uint64 hashFnv1a64 (const juce::MemoryBlock& data)
    {
        constexpr juce::uint64 offsetBasis = 0xcbf29ce484222325ull;
        constexpr juce::uint64 prime = 0x100000001b3ull;

        auto hash = offsetBasis;

        for (size_t i = 0; i < data.getSize(); ++i)
        {
            hash ^= (juce::uint8) data[i];
            hash *= prime;
        }

        return hash;
    }

    FileDigest digestOf (const juce::File& file)
    {
        const auto data = testing_support::contentsOf (file);
        return { (juce::int64) data.getSize(), hashFnv1a64 (data) };
    }

    //==============================================================================
    /** One sample in 16-bit steps, kept inside the range a 16-bit file holds. */
    int clampTo16Bit (juce::int64 value)
    {
        return (int) juce::jlimit ((juce::int64) -32767, (juce::int64) 32767, value);
    }

    /** A crude voice made from integers and juce::Random alone, so that it is the same on
        every system: no library maths (sin and friends differ between C libraries) and no
        floating-point sum a compiler could fuse. Syllables of a quarter second with a
        triangular envelope, every fifth one a pause; a sawtooth whose pitch is drawn per
        syllable between 90 and 220 Hz; a hiss burst every 1.7 s; a faint noise floor. The
        second channel is a quieter copy of the first, 24 samples late, with its own floor.
        Every value is a whole number of 16-bit steps, so the 16-bit file holds it exactly.
    */
    juce::AudioBuffer<float> makeIntegerVoice()
    {
        constexpr int syllableLength = 11025, halfSyllable = syllableLength / 2;
        constexpr int sibilantPeriod = 74970, sibilantLength = 3528;
        constexpr int sibilantPeak = 4915, floorPeak = 33;
        constexpr int delaySamples = 24;

        juce::Random random (20240601);
        const auto noise = [&random] (int peak) { return random.nextInt (2 * peak + 1) - peak; };

        std::vector<int> first ((size_t) takeSamples), second ((size_t) takeSamples);
        juce::uint32 phase = 0, phaseIncrement = 0;

        for (int i = 0; i < takeSamples; ++i)
        {
            const auto syllable = i / syllableLength, position = i % syllableLength;

            if (position == 0)
            {
                const auto pitchHz = (juce::uint64) (90 + random.nextInt (131));
                phaseIncrement = (juce::uint32) ((pitchHz << 32) / (juce::uint64) takeSampleRate);
            }

            phase += phaseIncrement;
            const auto sawtooth = (juce::int64) (phase >> 16) - 32768;
            const auto envelope = syllable % 5 == 4 ? 0
                                                    : (position < halfSyllable ? position : syllableLength - position);
            const auto voiced = sawtooth * envelope * 3 / (10 * halfSyllable);
            const auto sibilant = i % sibilantPeriod < sibilantLength ? noise (sibilantPeak) : 0;

            first[(size_t) i] = clampTo16Bit (voiced + sibilant + noise (floorPeak));
        }

        for (int i = 0; i < takeSamples; ++i)
        {
            const auto delayed = i >= delaySamples ? first[(size_t) (i - delaySamples)] : 0;
            second[(size_t) i] = clampTo16Bit (delayed * 4 / 5 + noise (floorPeak));
        }

        juce::AudioBuffer<float> buffer (takeChannels, takeSamples);

        for (int i = 0; i < takeSamples; ++i)
        {
            buffer.setSample (0, i, (float) first[(size_t) i] / 32768.0f);
            buffer.setSample (1, i, (float) second[(size_t) i] / 32768.0f);
        }

        return buffer;
    }
}

TEST (AudioPipelineReference, FixedTakeGivesTheStoredMaster)
{
    const auto directory = juce::File::getSpecialLocation (juce::File::tempDirectory)
                               .getChildFile ("voxmender-reference-" + juce::Uuid().toDashedString());
    ASSERT_TRUE (directory.createDirectory());

    const auto take = directory.getChildFile ("take.wav");
    const auto master = directory.getChildFile ("mastered").getChildFile ("take.wav");
    testing_support::writeWav (take, makeIntegerVoice(), takeSampleRate);

    AudioPipeline::Config config;
    config.denoise = false;

    const testing_support::CapturingLogger log;
    const auto result = AudioPipeline::process (take, master, config);

    const auto takeDigest = digestOf (take);
    const auto masterDigest = digestOf (master);
    directory.deleteRecursively();

    ASSERT_EQ (takeDigest, referenceTake) << "the fixture itself moved";
    ASSERT_TRUE (result.success) << result.errorMessage;
    EXPECT_EQ (masterDigest, referenceMaster) << "the processing moved";
}
