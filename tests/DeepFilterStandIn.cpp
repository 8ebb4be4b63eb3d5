// Stand-in for the outside denoiser, driven by the tests.
//
// Command line: FILE --output-dir DIR [--atten-lim N]
//
// By default it "denoises" FILE by halving every sample, so a test can tell its
// output from its input, and writes the result as "<base>_DeepFilterNet3.wav"
// into DIR. The environment variable VOXMENDER_STANDIN_MODE picks another
// behaviour:
//   fail     prints a line with blanks around it and exits with 1
//   hang     prints nothing and sleeps until it is killed (for at most a minute)
//   nothing  exits with 0 and writes nothing
//   empty    writes an empty "<base>_DeepFilterNet3.wav"
//   plain    writes its output as "<base>.wav"
// When VOXMENDER_STANDIN_OUTPUT is set, the default behaviour writes its output
// under that file name instead.
// When VOXMENDER_STANDIN_ARGS names a file, the arguments are written into it,
// one a line, before anything else happens.

#include <juce_audio_formats/juce_audio_formats.h>

#include <iostream>

namespace
{
    constexpr float denoisingGain = 0.5f;

    struct Arguments
    {
        juce::File inputFile;
        juce::File outputDirectory;
        bool valid = false;
    };

    Arguments parseArguments (const juce::StringArray& args)
    {
        Arguments parsed;

        for (int i = 0; i < args.size(); ++i)
        {
            if (args[i] == "--output-dir" && i + 1 < args.size())
                parsed.outputDirectory = juce::File (args[++i]);
            else if (args[i] == "--atten-lim" && i + 1 < args.size())
                ++i;
            else if (parsed.inputFile == juce::File())
                parsed.inputFile = juce::File (args[i]);
            else
                return parsed;
        }

        parsed.valid = parsed.inputFile != juce::File() && parsed.outputDirectory != juce::File();
        return parsed;
    }

    void recordArguments (const juce::StringArray& args)
    {
        const auto recordPath = juce::SystemStats::getEnvironmentVariable ("VOXMENDER_STANDIN_ARGS", {});

        if (recordPath.isNotEmpty())
            juce::File (recordPath).replaceWithText (args.joinIntoString ("\n") + "\n");
    }

    bool writeHalvedCopy (const juce::File& inputFile, const juce::File& outputFile)
    {
        juce::AudioFormatManager formats;
        formats.registerBasicFormats();
        std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (inputFile));

        if (reader == nullptr)
            return false;

        juce::AudioBuffer<float> buffer ((int) reader->numChannels, (int) reader->lengthInSamples);
        reader->read (&buffer, 0, buffer.getNumSamples(), 0, true, true);
        buffer.applyGain (denoisingGain);

        auto stream = outputFile.createOutputStream();

        if (stream == nullptr)
            return false;

        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (stream.get(), reader->sampleRate,
                                                                              reader->numChannels, 16, {}, 0));
        if (writer == nullptr)
            return false;

        stream.release();
        return writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples());
    }

    int runMode (const juce::String& mode, const Arguments& args)
    {
        const auto base = args.inputFile.getFileNameWithoutExtension();

        if (mode == "fail")
        {
            std::cout << "   model could not be loaded   \n";
            return 1;
        }

        if (mode == "hang")
        {
            juce::Thread::sleep (60000);
            return 0;
        }

        if (mode == "nothing")
            return 0;

        if (mode == "empty")
            return args.outputDirectory.getChildFile (base + "_DeepFilterNet3.wav").create().wasOk() ? 0 : 2;

        const auto outputName = mode == "plain" ? base + ".wav"
                                                : juce::SystemStats::getEnvironmentVariable ("VOXMENDER_STANDIN_OUTPUT",
                                                                                             base + "_DeepFilterNet3.wav");

        if (! writeHalvedCopy (args.inputFile, args.outputDirectory.getChildFile (outputName)))
        {
            std::cerr << "cannot denoise " << args.inputFile.getFullPathName() << "\n";
            return 2;
        }

        return 0;
    }
}

int main (int argc, char* argv[])
{
    juce::StringArray args;

    for (int i = 1; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    recordArguments (args);
    const auto parsed = parseArguments (args);

    if (! parsed.valid)
    {
        std::cerr << "usage: deepfilter-standin FILE --output-dir DIR [--atten-lim N]\n";
        return 2;
    }

    return runMode (juce::SystemStats::getEnvironmentVariable ("VOXMENDER_STANDIN_MODE", {}), parsed);
}
