// Stand-in for the outside denoiser, driven by the tests.
//
// Command line: FILE --output-dir DIR [--atten-lim N]
//
// By default it "denoises" FILE by halving every sample, so a test can tell its
// output from its input, and writes the result as "<base>_DeepFilterNet3.wav"
// into DIR. The environment variable VOXMENDER_STANDIN_MODE picks another
// behaviour:
//   fail       prints a line with blanks around it and exits with 1
//   hang       prints nothing and sleeps until it is killed (for at most a minute)
//   nothing    exits with 0 and writes nothing
//   empty      writes an empty "<base>_DeepFilterNet3.wav"
//   plain      writes its output as "<base>.wav"
//   killed     writes its output, cuts the file to half its size, then is killed
//   half       writes only the first half of the frames
//   long       writes the frames ten times over
//   rate       writes the audio resampled (crudely) to 16 kHz
//   mono       writes only the first channel
//   truncated  writes its output, then cuts the file short under a header that
//              still claims every frame
//   garbage    writes text under the output's name
//   pad:MS     writes MS milliseconds of silence after the frames
//   exit:N     writes its output, then exits with N
//   flood:MB   prints MB mebibytes of progress lines and warnings, then writes its output
//   stop       stops itself; a helper it starts continues it a second later; then
//              writes its output
//   fds        prints the descriptors it was started with ("open descriptors: 0 1 2"),
//              then writes its output
// When VOXMENDER_STANDIN_OUTPUT is set, the default behaviour writes its output
// under that file name instead.
// When VOXMENDER_STANDIN_ARGS names a file, the arguments are written into it,
// one a line, before anything else happens.
// VOXMENDER_STANDIN_HELPER starts a helper process that sleeps for half a minute
// before the mode runs: "holds-output" keeps the stand-in's output streams open,
// "detached" sends its own to /dev/null. When VOXMENDER_STANDIN_PIDS names a file,
// the stand-in's pid and then the helper's are written into it, one a line.
// When VOXMENDER_STANDIN_ONE names a file, the mode, the helper and the pid file apply
// only to the run that creates that file first; every other run of a batch gets the
// default behaviour, once the file VOXMENDER_STANDIN_GO names exists when that is set.

#include <juce_audio_formats/juce_audio_formats.h>

#include <iostream>
#include <string>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

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

    juce::String getSetting (const char* name)
    {
        return juce::SystemStats::getEnvironmentVariable (name, {});
    }

    void recordArguments (const juce::StringArray& args)
    {
        const auto recordPath = getSetting ("VOXMENDER_STANDIN_ARGS");

        if (recordPath.isNotEmpty())
            juce::File (recordPath).replaceWithText (args.joinIntoString ("\n") + "\n");
    }

    //==============================================================================
    /** Both output streams to /dev/null, so that this process holds no one's output. */
    void sendOutputNowhere()
    {
        const auto nowhere = open ("/dev/null", O_WRONLY);
        dup2 (nowhere, STDOUT_FILENO);
        dup2 (nowhere, STDERR_FILENO);
        close (nowhere);
    }

    /** Starts the helper the tests asked for; its pid, or 0 when none was asked for. */
    pid_t startHelper (const juce::String& kind)
    {
        constexpr unsigned int helperLifeSeconds = 30;

        if (kind != "holds-output" && kind != "detached")
            return 0;

        const auto pid = fork();

        if (pid != 0)
            return pid;

        if (kind == "detached")
            sendOutputNowhere();

        sleep (helperLifeSeconds);
        _exit (0);
    }

    /** Written whole in one step, so a test never reads half the list. */
    void recordPids (pid_t helper)
    {
        const auto recordPath = getSetting ("VOXMENDER_STANDIN_PIDS");

        if (recordPath.isEmpty())
            return;

        auto text = juce::String (getpid()) + "\n";

        if (helper > 0)
            text << juce::String (helper) << "\n";

        juce::File (recordPath).replaceWithText (text);
    }

    /** True unless the tests asked for one run alone and another run has claimed it. */
    bool isTheChosenRun()
    {
        const auto claimPath = getSetting ("VOXMENDER_STANDIN_ONE");

        if (claimPath.isEmpty())
            return true;

        const auto fd = open (claimPath.toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL, 0644);

        if (fd < 0)
            return false;

        close (fd);
        return true;
    }

    /** Waits, for a minute at most, until the file the tests name as the go-ahead exists. */
    void waitForGo()
    {
        constexpr int patienceMs = 60000;
        constexpr int checkIntervalMs = 10;
        const auto goPath = getSetting ("VOXMENDER_STANDIN_GO");

        for (int waitedMs = 0; goPath.isNotEmpty() && ! juce::File (goPath).exists() && waitedMs < patienceMs;
             waitedMs += checkIntervalMs)
            juce::Thread::sleep (checkIntervalMs);
    }

    //==============================================================================
    /** The descriptors open in this process, found without opening one. */
    juce::String listOpenDescriptors()
    {
        constexpr int highestChecked = 1024;
        juce::StringArray open;

        for (int fd = 0; fd < highestChecked; ++fd)
            if (fcntl (fd, F_GETFD) != -1)
                open.add (juce::String (fd));

        return "open descriptors: " + open.joinIntoString (" ");
    }

    /** Progress lines on standard output with a warning on standard error every so
        often, as a chatty program writes them, to about the given number of bytes.
    */
    void printFlood (juce::int64 totalBytes)
    {
        const std::string progress ("progress: frame processed, everything is fine so far\n");
        const std::string warning ("warning: the model is running on the processor\n");
        constexpr int linesPerBlock = 1024;

        std::string block;

        for (int i = 0; i < linesPerBlock; ++i)
            block += progress;

        for (juce::int64 written = 0; written < totalBytes; written += (juce::int64) (block.size() + warning.size()))
        {
            if (write (STDOUT_FILENO, block.data(), block.size()) != (ssize_t) block.size()
                 || write (STDERR_FILENO, warning.data(), warning.size()) != (ssize_t) warning.size())
                return;
        }
    }

    /** Stops this process; a helper continues it a second later, and once more after
        that in case this process was slow to stop. The helper holds no output.
    */
    void stopForAMoment()
    {
        if (fork() == 0)
        {
            sendOutputNowhere();
            const auto parent = getppid();

            for (const unsigned int pauseSeconds : { 1u, 2u })
            {
                sleep (pauseSeconds);
                kill (parent, SIGCONT);
            }

            _exit (0);
        }

        raise (SIGSTOP);
    }

    //==============================================================================
    struct Audio
    {
        juce::AudioBuffer<float> buffer;
        double sampleRate = 0.0;
    };

    bool readAudio (const juce::File& file, Audio& audio)
    {
        juce::AudioFormatManager formats;
        formats.registerBasicFormats();
        std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));

        if (reader == nullptr)
            return false;

        audio.sampleRate = reader->sampleRate;
        audio.buffer.setSize ((int) reader->numChannels, (int) reader->lengthInSamples);
        return reader->read (&audio.buffer, 0, audio.buffer.getNumSamples(), 0, true, true);
    }

    bool writeAudio (const juce::File& file, const Audio& audio)
    {
        auto stream = file.createOutputStream();

        if (stream == nullptr)
            return false;

        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (stream.get(), audio.sampleRate,
                                                                              (unsigned int) audio.buffer.getNumChannels(),
                                                                              16, {}, 0));
        if (writer == nullptr)
            return false;

        stream.release();
        return writer->writeFromAudioSampleBuffer (audio.buffer, 0, audio.buffer.getNumSamples());
    }

    /** The first numFrames frames of every channel, repeated as often as needed, then
        silence for padFrames.
    */
    juce::AudioBuffer<float> reshape (const juce::AudioBuffer<float>& source, int numChannels, int numFrames,
                                      int padFrames = 0)
    {
        juce::AudioBuffer<float> shaped (numChannels, numFrames + padFrames);
        shaped.clear();

        for (int ch = 0; ch < numChannels; ++ch)
            for (int i = 0; i < numFrames; ++i)
                shaped.setSample (ch, i, source.getSample (ch, i % source.getNumSamples()));

        return shaped;
    }

    /** Every frame taken at the nearest earlier moment of the source, at newRate. */
    Audio resampleCrudely (const Audio& source, double newRate)
    {
        const auto numFrames = (int) (source.buffer.getNumSamples() * newRate / source.sampleRate);
        Audio resampled { juce::AudioBuffer<float> (source.buffer.getNumChannels(), numFrames), newRate };

        for (int ch = 0; ch < source.buffer.getNumChannels(); ++ch)
            for (int i = 0; i < numFrames; ++i)
                resampled.buffer.setSample (ch, i, source.buffer.getSample (ch, (int) (i * source.sampleRate / newRate)));

        return resampled;
    }

    /** The "denoised" audio in the shape the mode asks for. */
    Audio shapeOutput (const juce::String& mode, Audio audio)
    {
        constexpr int repeats = 10;
        constexpr double wrongRate = 16000.0;

        const auto numChannels = audio.buffer.getNumChannels();
        const auto numFrames = audio.buffer.getNumSamples();

        if (mode == "half")
            audio.buffer = reshape (audio.buffer, numChannels, numFrames / 2);
        else if (mode == "long")
            audio.buffer = reshape (audio.buffer, numChannels, numFrames * repeats);
        else if (mode == "mono")
            audio.buffer = reshape (audio.buffer, 1, numFrames);
        else if (mode.startsWith ("pad:"))
            audio.buffer = reshape (audio.buffer, numChannels, numFrames,
                                    (int) (mode.fromFirstOccurrenceOf (":", false, false).getDoubleValue()
                                           * audio.sampleRate / 1000.0));
        else if (mode == "rate")
            audio = resampleCrudely (audio, wrongRate);

        return audio;
    }

    /** Cuts the file to half its size; its header still claims all it held. */
    bool cutInHalf (const juce::File& file)
    {
        return truncate (file.getFullPathName().toRawUTF8(), (off_t) (file.getSize() / 2)) == 0;
    }

    int writeDenoised (const juce::String& mode, const Arguments& args, const juce::File& outputFile)
    {
        Audio audio;

        if (! readAudio (args.inputFile, audio))
        {
            std::cerr << "cannot denoise " << args.inputFile.getFullPathName() << "\n";
            return 2;
        }

        audio.buffer.applyGain (denoisingGain);

        if (! writeAudio (outputFile, shapeOutput (mode, std::move (audio))))
        {
            std::cerr << "cannot write " << outputFile.getFullPathName() << "\n";
            return 2;
        }

        if (mode == "truncated" || mode == "killed")
            if (! cutInHalf (outputFile))
                return 2;

        if (mode == "killed")
            raise (SIGKILL);

        return 0;
    }

    int runMode (const juce::String& mode, const Arguments& args)
    {
        const auto base = args.inputFile.getFileNameWithoutExtension();
        const auto usualOutput = args.outputDirectory.getChildFile (base + "_DeepFilterNet3.wav");

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
            return usualOutput.create().wasOk() ? 0 : 2;

        if (mode == "garbage")
            return usualOutput.replaceWithText ("not audio at all") ? 0 : 2;

        if (mode.startsWith ("flood:"))
            printFlood ((juce::int64) (mode.fromFirstOccurrenceOf (":", false, false).getDoubleValue() * 1024.0 * 1024.0));

        if (mode == "stop")
            stopForAMoment();

        if (mode.startsWith ("exit:"))
        {
            const auto written = writeDenoised (mode, args, usualOutput);
            return written != 0 ? written : mode.fromFirstOccurrenceOf (":", false, false).getIntValue();
        }

        const auto outputName = mode == "plain" ? base + ".wav"
                                                : juce::SystemStats::getEnvironmentVariable ("VOXMENDER_STANDIN_OUTPUT",
                                                                                             usualOutput.getFileName());

        return writeDenoised (mode, args, args.outputDirectory.getChildFile (outputName));
    }
}

int main (int argc, char* argv[])
{
    juce::StringArray args;

    for (int i = 1; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    // Taken first, before this program opens anything of its own.
    const auto descriptorsAtStart = listOpenDescriptors();

    recordArguments (args);
    const auto parsed = parseArguments (args);

    if (! parsed.valid)
    {
        std::cerr << "usage: deepfilter-standin FILE --output-dir DIR [--atten-lim N]\n";
        return 2;
    }

    if (! isTheChosenRun())
    {
        waitForGo();
        return runMode ({}, parsed);
    }

    const auto mode = getSetting ("VOXMENDER_STANDIN_MODE");

    if (mode == "fds")
        std::cout << descriptorsAtStart << std::endl;

    recordPids (startHelper (getSetting ("VOXMENDER_STANDIN_HELPER")));
    return runMode (mode, parsed);
}
