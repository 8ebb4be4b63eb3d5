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
