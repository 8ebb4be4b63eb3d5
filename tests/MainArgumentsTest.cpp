// The files the command line names: which path each value becomes, parsed in-process
// from a known working directory.

#include <gtest/gtest.h>

#include "Main.h"

#include <iostream>
#include <sstream>
#include <string>
#include <utility>

namespace
{
    /** Makes a fresh directory the current one for the object's lifetime. */
    struct ScopedWorkingDirectory
    {
        ScopedWorkingDirectory()
        {
            directory.createDirectory();
            directory.setAsCurrentWorkingDirectory();
        }

        ~ScopedWorkingDirectory()
        {
            previous.setAsCurrentWorkingDirectory();
            directory.getParentDirectory().deleteRecursively();
        }

        const juce::File previous = juce::File::getCurrentWorkingDirectory();
        const juce::File directory = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                         .getChildFile ("voxmender-arguments-" + juce::Uuid().toDashedString())
                                         .getChildFile ("work");
    };

    /** Everything written to std::cerr while the object lives; JUCE's debug assertions land there. */
    struct CapturedStandardError
    {
        CapturedStandardError() : previous (std::cerr.rdbuf (text.rdbuf())) {}
        ~CapturedStandardError()  { std::cerr.rdbuf (previous); }

        std::ostringstream text;
        std::streambuf* const previous;
    };

    enum class Base { none, home, workingDirectory, parentDirectory };

    struct PathCase
    {
        const char* value;
        Base base;
        const char* rest;   // the path after the base, or the whole path without one
    };

    const PathCase pathCases[] =
    {
        { "~/x",          Base::home,             "/x" },
        { "~",            Base::home,             "" },
        { "/abs/take.wav", Base::none,            "/abs/take.wav" },
        { "/abs/dir/",    Base::none,             "/abs/dir" },
        { "rel/x",        Base::workingDirectory, "/rel/x" },
        { "./x",          Base::workingDirectory, "/x" },
        { "../x",         Base::parentDirectory,  "/x" },
        { "./../x",       Base::parentDirectory,  "/x" },
        { "a/../b",       Base::workingDirectory, "/b" },
    };

    juce::String expectedPath (const PathCase& c, const juce::File& workingDirectory)
    {
        switch (c.base)
        {
            case Base::home:             return juce::File::getSpecialLocation (juce::File::userHomeDirectory).getFullPathName() + c.rest;
            case Base::workingDirectory: return workingDirectory.getFullPathName() + c.rest;
            case Base::parentDirectory:  return workingDirectory.getParentDirectory().getFullPathName() + c.rest;
            case Base::none:             break;
        }

        return c.rest;
    }

    CLIArgs parseEveryPathOption (const juce::String& value)
    {
        juce::StringArray args ("voxmender-audio-engine");

        for (const char* option : { "--input", "--output", "--input-dir", "--output-dir" })
        {
            args.add (option);
            args.add (value);
        }

        return parseArguments (args);
    }
}

TEST (CommandLinePaths, EveryPathOptionTakesTheValueFromTheWorkingDirectoryOrAsItStands)
{
    const ScopedWorkingDirectory scoped;
    const auto workingDirectory = juce::File::getCurrentWorkingDirectory();

    for (const auto& c : pathCases)
    {
        SCOPED_TRACE (c.value);

        const CapturedStandardError standardError;
        const auto parsed = parseEveryPathOption (c.value);
        const auto expected = expectedPath (c, workingDirectory);

        EXPECT_TRUE (parsed.valid);
        EXPECT_EQ (parsed.inputFile.getFullPathName(),  expected);
        EXPECT_EQ (parsed.outputFile.getFullPathName(), expected);
        EXPECT_EQ (parsed.inputDir.getFullPathName(),   expected);
        EXPECT_EQ (parsed.outputDir.getFullPathName(),  expected);
        EXPECT_EQ (standardError.text.str(), "");
    }
}

TEST (CommandLinePaths, EmptyValueIsNotGiven)
{
    const ScopedWorkingDirectory scoped;
    const auto parsed = parseEveryPathOption ("");

    EXPECT_EQ (parsed.inputFile,  juce::File());
    EXPECT_EQ (parsed.outputFile, juce::File());
    EXPECT_EQ (parsed.inputDir,   juce::File());
    EXPECT_EQ (parsed.outputDir,  juce::File());
    EXPECT_FALSE (parsed.valid);
    EXPECT_EQ (parsed.errorMessage, "Must specify either --input/--output or --input-dir/--output-dir.");
}

//==============================================================================
namespace
{
    CLIArgs parseTarget (const char* value)
    {
        return parseArguments ({ "voxmender-audio-engine", "--target-lufs", value, "--input", "a.wav", "--output", "b.wav" });
    }
}

TEST (CommandLineLoudnessTarget, OnlyALoudnessAMeterCanMeasureIsAccepted)
{
    // The values read as they always have; only what they read as decides.
    const std::pair<const char*, float> accepted[] = {
        { "-70", -70.0f }, { "0", 0.0f }, { "-23", -23.0f }, { "-16,5", -16.0f }, { "loud", 0.0f },
    };

    for (const auto& [value, target] : accepted)
    {
        SCOPED_TRACE (value);
        const auto parsed = parseTarget (value);

        EXPECT_TRUE (parsed.valid) << parsed.errorMessage;
        EXPECT_EQ (parsed.targetLUFS, target);
    }

    for (const char* value : { "-70.01", "0.01", "-150", "-180", "200", "1e30", "nan", "inf", "-inf" })
    {
        SCOPED_TRACE (value);
        const auto parsed = parseTarget (value);

        EXPECT_FALSE (parsed.valid);
        EXPECT_EQ (parsed.errorMessage, juce::String ("--target-lufs must be between -70 and 0 LUFS: ") + value);
    }
}
