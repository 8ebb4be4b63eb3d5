#pragma once

// Shared file fixtures for the tests: WAV files written and read back, the real
// FFmpeg, environment settings for the denoiser stand-in.

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <cstdlib>
#include <memory>

namespace juce
{
    // Readable failure messages for lists of lines.
    static inline void PrintTo (const StringArray& lines, std::ostream* stream)
    {
        *stream << "[" << lines.joinIntoString (" | ") << "]";
    }
}

namespace testing_support
{
    /** Sets an environment variable for the stand-in for the lifetime of the object. */
    struct ScopedEnvironment
    {
        ScopedEnvironment (const char* nameToSet, const juce::String& value) : name (nameToSet)
        {
            setenv (name, value.toRawUTF8(), 1);
        }

        ~ScopedEnvironment()   { unsetenv (name); }

        const char* const name;
    };

    struct Audio
    {
        juce::AudioBuffer<float> buffer;
        double sampleRate = 0.0;
        int bitsPerSample = 0;
    };

    inline void writeWav (const juce::File& file, const juce::AudioBuffer<float>& buffer, double sampleRate,
                          int bitsPerSample = 16)
    {
        file.deleteFile();
        auto stream = file.createOutputStream();
        ASSERT_NE (stream, nullptr) << file.getFullPathName();

        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (stream.get(), sampleRate,
                                                                              (unsigned int) buffer.getNumChannels(),
                                                                              bitsPerSample, {}, 0));
        ASSERT_NE (writer, nullptr);
        stream.release();
        writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples());
    }

    /** The whole file, or an empty buffer at rate 0 when no basic format reads it. */
    inline Audio readWav (const juce::File& file)
    {
        juce::AudioFormatManager formats;
        formats.registerBasicFormats();
        std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));

        Audio audio;

        if (reader != nullptr)
        {
            audio.sampleRate = reader->sampleRate;
            audio.bitsPerSample = (int) reader->bitsPerSample;
            audio.buffer.setSize ((int) reader->numChannels, (int) reader->lengthInSamples);
            reader->read (&audio.buffer, 0, audio.buffer.getNumSamples(), 0, true, true);
        }

        return audio;
    }

    inline float peakOf (const Audio& audio)
    {
        return audio.buffer.getMagnitude (0, audio.buffer.getNumSamples());
    }

    inline juce::MemoryBlock contentsOf (const juce::File& file)
    {
        juce::MemoryBlock data;
        file.loadFileAsData (data);
        return data;
    }

    /** Names of everything under the directory, relative to it, sorted. */
    inline juce::StringArray listTree (const juce::File& directory)
    {
        juce::StringArray names;

        for (const auto& entry : directory.findChildFiles (juce::File::findFilesAndDirectories, true))
            names.add (entry.getRelativePathFrom (directory));

        names.sort (false);
        return names;
    }

    //==============================================================================
    // Files that hold their samples in other ways than the writers above, built byte by byte.

    /** The sine, encoded by JUCE's Ogg Vorbis writer: a whole Ogg stream in memory. */
    inline juce::MemoryBlock encodeOggVorbis (const juce::AudioBuffer<float>& buffer, double sampleRate)
    {
        constexpr int qualityOf128kbps = 4;

        juce::MemoryBlock encoded;
        auto* stream = new juce::MemoryOutputStream (encoded, false);
        juce::OggVorbisAudioFormat ogg;
        std::unique_ptr<juce::AudioFormatWriter> writer (ogg.createWriterFor (stream, sampleRate,
                                                                              (unsigned int) buffer.getNumChannels(),
                                                                              16, {}, qualityOf128kbps));
        if (writer == nullptr)
        {
            delete stream;
            ADD_FAILURE() << "no Ogg Vorbis writer";
            return {};
        }

        writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples());
        writer.reset();   // ends the stream and flushes it into the block
        return encoded;
    }

    /** The body of a WAV fmt chunk: the sixteen bytes every format has, then any extension. */
    inline juce::MemoryBlock makeWavFormat (int formatTag, int numChannels, int sampleRate, int bytesPerSecond,
                                            int blockAlign, int bitsPerSample, const juce::MemoryBlock& extension = {})
    {
        juce::MemoryOutputStream format;
        format.writeShort ((short) formatTag);
        format.writeShort ((short) numChannels);
        format.writeInt (sampleRate);
        format.writeInt (bytesPerSecond);
        format.writeShort ((short) blockAlign);
        format.writeShort ((short) bitsPerSample);
        format << extension;
        return format.getMemoryBlock();
    }

    /** A RIFF/WAVE file of a fmt chunk and a data chunk; with a fact chunk of the frame count
        when one is given, as formats other than plain samples carry it.
    */
    inline void writeRiffWave (const juce::File& file, const juce::MemoryBlock& format,
                               const juce::MemoryBlock& samples, int framesInFact = -1)
    {
        juce::MemoryOutputStream chunks;
        const auto writeChunk = [&chunks] (const char* id, const juce::MemoryBlock& body)
        {
            chunks.write (id, 4);
            chunks.writeInt ((int) body.getSize());
            chunks << body;

            if ((body.getSize() & 1) != 0)
                chunks.writeByte (0);
        };

        writeChunk ("fmt ", format);

        if (framesInFact >= 0)
        {
            juce::MemoryOutputStream fact;
            fact.writeInt (framesInFact);
            writeChunk ("fact", fact.getMemoryBlock());
        }

        writeChunk ("data", samples);

        juce::MemoryOutputStream wav;
        wav.write ("RIFF", 4);
        wav.writeInt ((int) (4 + chunks.getDataSize()));
        wav.write ("WAVE", 4);
        wav << chunks.getMemoryBlock();
        ASSERT_TRUE (file.replaceWithData (wav.getData(), wav.getDataSize())) << file.getFullPathName();
    }

    /** A WAV file whose data chunk is the Ogg Vorbis encoding of the buffer, under the format
        tag of Ogg Vorbis mode 3+, which JUCE's WAV reader hands to its Ogg Vorbis reader.
    */
    inline void writeOggVorbisInWav (const juce::File& file, const juce::AudioBuffer<float>& buffer, double sampleRate)
    {
        constexpr int oggVorbisMode3PlusTag = 0x6771;
        constexpr int nominalBytesPerSecond = 16000;

        writeRiffWave (file, makeWavFormat (oggVorbisMode3PlusTag, buffer.getNumChannels(), (int) sampleRate,
                                            nominalBytesPerSecond, 1, 16),
                       encodeOggVorbis (buffer, sampleRate));
    }

    /** An AIFC file of one channel at 48 kHz with the given compression type and sound data. */
    inline void writeAifc (const juce::File& file, const char* compressionType, int numFrames, int bitsPerSample,
                           const juce::MemoryBlock& samples)
    {
        // 48000 as the 80-bit extended float of the COMM chunk.
        constexpr juce::uint8 rate48k[10] = { 0x40, 0x0e, 0xbb, 0x80, 0, 0, 0, 0, 0, 0 };
        constexpr int aifcVersion1 = (int) 0xa2805140;

        juce::MemoryOutputStream chunks;
        chunks.write ("FVER", 4);  chunks.writeIntBigEndian (4);  chunks.writeIntBigEndian (aifcVersion1);

        chunks.write ("COMM", 4);  chunks.writeIntBigEndian (18 + 4 + 2);
        chunks.writeShortBigEndian (1);
        chunks.writeIntBigEndian (numFrames);
        chunks.writeShortBigEndian ((short) bitsPerSample);
        chunks.write (rate48k, sizeof (rate48k));
        chunks.write (compressionType, 4);
        chunks.writeByte (0);  chunks.writeByte (0);   // an empty compression name, padded to even

        chunks.write ("SSND", 4);  chunks.writeIntBigEndian ((int) (8 + samples.getSize()));
        chunks.writeIntBigEndian (0);  chunks.writeIntBigEndian (0);   // offset and block size
        chunks << samples;

        if ((samples.getSize() & 1) != 0)
            chunks.writeByte (0);

        juce::MemoryOutputStream aifc;
        aifc.write ("FORM", 4);
        aifc.writeIntBigEndian ((int) (4 + chunks.getDataSize()));
        aifc.write ("AIFC", 4);
        aifc << chunks.getMemoryBlock();
        ASSERT_TRUE (file.replaceWithData (aifc.getData(), aifc.getDataSize())) << file.getFullPathName();
    }

    /** Bytes of uniform noise, reproducible from their seed. */
    inline juce::MemoryBlock makeNoiseBytes (size_t numBytes, juce::int64 seed = 1)
    {
        juce::MemoryBlock bytes (numBytes);
        juce::Random random (seed);

        for (size_t i = 0; i < numBytes; ++i)
            static_cast<juce::uint8*> (bytes.getData())[i] = (juce::uint8) random.nextInt (256);

        return bytes;
    }

    /** A shell script standing in for an outside program, in a folder beside the test's
        directory so that it is never taken for one of the test's own files.
    */
    struct ScriptedProgram
    {
        ScriptedProgram (const juce::File& testDirectory, const juce::String& name, const juce::String& body)
            : folder (testDirectory.getSiblingFile (testDirectory.getFileName() + "-tools")),
              program (folder.getChildFile (name))
        {
            folder.createDirectory();
            program.replaceWithText ("#!/bin/sh\n" + body + "\n", false, false, "\n");
            program.setExecutePermission (true);
        }

        ~ScriptedProgram()   { folder.deleteRecursively(); }

        const juce::File folder, program;
    };
}
