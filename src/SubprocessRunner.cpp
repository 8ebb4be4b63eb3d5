#include "SubprocessRunner.h"

#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__APPLE__)
 #include <crt_externs.h>
#else
extern char** environ;
#endif

namespace
{
    /** The exit code of a child whose program could not be executed, as the
        usual fork-then-exec start reports it (the child's _exit (-1)).
    */
    constexpr int cannotExecuteExitCode = 255;

    constexpr size_t readChunkBytes = 4096;

    char** currentEnvironment()
    {
       #if defined(__APPLE__)
        return *_NSGetEnviron();
       #else
        return environ;
       #endif
    }

    /** True for the errors that mean no child could be made at all, as opposed
        to a child whose program could not be executed.
    */
    bool isResourceShortage (int error)
    {
        return error == EAGAIN || error == ENOMEM || error == EMFILE || error == ENFILE;
    }

    /** Closes fd unless it is already closed, and marks it closed so that no
        second close can hit a number the system has since handed to someone else.
    */
    void closeOnce (int& fd)
    {
        if (fd >= 0)
            ::close (fd);

        fd = -1;
    }

    bool setDescriptorFlag (int fd, int getCommand, int setCommand, int flag)
    {
        const auto flags = ::fcntl (fd, getCommand);
        return flags >= 0 && ::fcntl (fd, setCommand, flags | flag) == 0;
    }

    /** Makes a pipe whose ends no child inherits: a child gets only the copies it
        is handed explicitly, so a start made by another thread at the same moment
        cannot keep this pipe open.
    */
    bool openCloseOnExecPipe (int (&ends)[2])
    {
       #if defined(__APPLE__)
        // Not atomic here; POSIX_SPAWN_CLOEXEC_DEFAULT covers concurrent starts in the gap.
        if (::pipe (ends) != 0)
            return false;

        if (setDescriptorFlag (ends[0], F_GETFD, F_SETFD, FD_CLOEXEC)
             && setDescriptorFlag (ends[1], F_GETFD, F_SETFD, FD_CLOEXEC))
            return true;

        closeOnce (ends[0]);
        closeOnce (ends[1]);
        return false;
       #else
        return ::pipe2 (ends, O_CLOEXEC) == 0;
       #endif
    }

    /** The child's output pipe; the parent's read end does not block, so a read
        returns only what has already arrived.
    */
    bool openOutputPipe (int& readEnd, int& writeEnd)
    {
        int ends[2] = { -1, -1 };

        if (! openCloseOnExecPipe (ends))
            return false;

        readEnd = ends[0];
        writeEnd = ends[1];

        if (setDescriptorFlag (readEnd, F_GETFL, F_SETFL, O_NONBLOCK))
            return true;

        closeOnce (readEnd);
        closeOnce (writeEnd);
        return false;
    }

    //==============================================================================
    /** The file actions and attributes of one posix_spawn call, released with it. */
    class SpawnSetup
    {
    public:
        SpawnSetup()
        {
            actionsReady = posix_spawn_file_actions_init (&actions) == 0;
            attributesReady = posix_spawnattr_init (&attributes) == 0;
        }

        ~SpawnSetup()
        {
            if (actionsReady)
                posix_spawn_file_actions_destroy (&actions);

            if (attributesReady)
                posix_spawnattr_destroy (&attributes);
        }

        /** Both output streams into outputFd, the input from /dev/null (so that a
            program that reads keypresses sees an empty input instead of the terminal).
        */
        int prepare (int outputFd)
        {
            if (! (actionsReady && attributesReady))
                return ENOMEM;

            if (const auto error = posix_spawn_file_actions_adddup2 (&actions, outputFd, STDOUT_FILENO))
                return error;

            if (const auto error = posix_spawn_file_actions_adddup2 (&actions, outputFd, STDERR_FILENO))
                return error;

            if (const auto error = posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0))
                return error;

           #if defined(__APPLE__)
            return posix_spawnattr_setflags (&attributes, POSIX_SPAWN_CLOEXEC_DEFAULT);
           #else
            return 0;
           #endif
        }

        int spawn (pid_t& pid, const char* program, char* const* argv)
        {
            return posix_spawnp (&pid, program, &actions, &attributes, argv, currentEnvironment());
        }

    private:
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        bool actionsReady = false;
        bool attributesReady = false;

        SpawnSetup (const SpawnSetup&) = delete;
        SpawnSetup& operator= (const SpawnSetup&) = delete;
    };

    //==============================================================================
    /** A child process whose standard output and standard error arrive through one
        pipe, and whose standard input is empty.

        Owns the read end of the pipe (closed exactly once) and the child's exit
        status (collected once and remembered).
    */
    class PipedChild
    {
    public:
        PipedChild() = default;

        ~PipedChild()
        {
            closeOnce (readFd);

            // Collects the status of a child that has ended; one still running is left alone.
            isRunning();
        }

        /** Starts args[0] with the non-empty items as its argument list. False only
            when no pipe or process could be made, or when every item is empty; a
            program that cannot be executed counts as started and ended with 255.
        */
        bool start (const juce::StringArray& args)
        {
            std::vector<std::string> items;

            for (const auto& arg : args)
                if (arg.isNotEmpty())
                    items.push_back (arg.toStdString());

            if (items.empty())
                return false;

            // The program item may come quoted from a command line; the argument list keeps it as given.
            const auto program = args[0].unquoted().toStdString();

            if (program.empty())
                return endedWithoutExecuting();

            int writeFd = -1;

            if (! openOutputPipe (readFd, writeFd))
                return false;

            const auto error = spawnChild (program, items, writeFd);
            closeOnce (writeFd);

            if (error == 0)
                return true;

            closeOnce (readFd);
            return isResourceShortage (error) ? false : endedWithoutExecuting();
        }

        bool isRunning()
        {
            if (pid <= 0 || reaped)
                return false;

            int status = 0;
            const auto result = ::waitpid (pid, &status, WNOHANG);

            if (result == 0 || (result < 0 && errno == EINTR))
                return true;

            if (result == pid)
                recordStatus (status);
            else
                recordLostStatus();

            return false;
        }

        /** Polls until the child has ended or timeoutMs has passed; true when it ended. */
        bool waitForExit (int timeoutMs)
        {
            constexpr int checkIntervalMs = 2;
            const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;

            while (isRunning())
            {
                if (juce::Time::getMillisecondCounterHiRes() >= deadline)
                    return false;

                juce::Thread::sleep (checkIntervalMs);
            }

            return true;
        }

        /** Sends SIGKILL and collects the status, so that no zombie is left. */
        void kill()
        {
            if (pid <= 0 || reaped)
                return;

            ::kill (pid, SIGKILL);

            int status = 0;
            pid_t result;

            do
                result = ::waitpid (pid, &status, 0);
            while (result < 0 && errno == EINTR);

            if (result == pid)
                recordStatus (status);
            else
                recordLostStatus();
        }

        /** The exit status of a child that exited by itself; 0 for one still
            running, ended by a signal or killed.
        */
        int getExitCode()
        {
            isRunning();
            return reaped ? exitCode : 0;
        }

        /** Reads what the pipe holds, at most maxBytes, without waiting for more.
            Returns how many bytes were read (0 when nothing is there yet).
        */
        size_t readAvailable (void* destination, size_t maxBytes)
        {
            const auto numRead = readOnce (destination, maxBytes);
            return numRead > 0 ? (size_t) numRead : 0;
        }

        /** Waits until output arrives and reads at most maxBytes of it. Returns 0
            only once the output has ended: every holder of the pipe's write end
            (the child and anything it left running with its output) has closed it.
        */
        size_t readWaiting (void* destination, size_t maxBytes)
        {
            for (;;)
            {
                const auto numRead = readOnce (destination, maxBytes);

                if (numRead >= 0)
                    return (size_t) numRead;

                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    return 0;

                waitForOutput();
            }
        }

    private:
        pid_t pid = -1;
        int readFd = -1;
        bool reaped = false;
        int exitCode = 0;

        int spawnChild (const std::string& program, std::vector<std::string>& items, int writeFd)
        {
            SpawnSetup setup;

            if (const auto error = setup.prepare (writeFd))
                return error;

            std::vector<char*> argv;

            for (auto& item : items)
                argv.push_back (item.data());

            argv.push_back (nullptr);
            return setup.spawn (pid, program.c_str(), argv.data());
        }

        /** The program could not be executed: report it as a child that printed
            nothing and exited with 255, which is what callers have always seen.
        */
        bool endedWithoutExecuting()
        {
            pid = -1;
            reaped = true;
            exitCode = cannotExecuteExitCode;
            return true;
        }

        void recordStatus (int status)
        {
            reaped = true;
            exitCode = WIFEXITED (status) ? WEXITSTATUS (status) : 0;
        }

        /** Someone else collected the status; all that is known is that the child has gone. */
        void recordLostStatus()
        {
            reaped = true;
            exitCode = 0;
        }

        /** Returns the read's result, retrying when a signal interrupted it; -1 with
            errno set, or 0 at the end of the output (also when there is no pipe).
        */
        ssize_t readOnce (void* destination, size_t maxBytes)
        {
            if (readFd < 0)
                return 0;

            ssize_t numRead;

            do
                numRead = ::read (readFd, destination, maxBytes);
            while (numRead < 0 && errno == EINTR);

            return numRead;
        }

        void waitForOutput()
        {
            pollfd request { readFd, POLLIN, 0 };

            while (::poll (&request, 1, -1) < 0 && errno == EINTR)
            {
            }
        }

        PipedChild (const PipedChild&) = delete;
        PipedChild& operator= (const PipedChild&) = delete;
    };

    //==============================================================================
    /** Polls the child in nominal 50 ms steps, taking what it printed, until it ends
        by itself (returns false) or the step count reaches the limit (returns true).
        The counter counts the sleeps, not the time spent between them.
    */
    bool waitAndCollect (PipedChild& child, int timeoutMs, juce::MemoryBlock& collected)
    {
        constexpr int pollIntervalMs = 50;
        char buffer[readChunkBytes];

        for (int waitedMs = pollIntervalMs;; waitedMs += pollIntervalMs)
        {
            if (! child.isRunning())
                return false;

            collected.append (buffer, child.readAvailable (buffer, sizeof (buffer)));

            if (waitedMs >= timeoutMs)
                return true;

            juce::Thread::sleep (pollIntervalMs);
        }
    }

    /** Takes what is left once the child has exited by itself, until its output ends. */
    void drainAfterExit (PipedChild& child, juce::MemoryBlock& collected)
    {
        char buffer[readChunkBytes];

        while (const auto numRead = child.readWaiting (buffer, sizeof (buffer)))
            collected.append (buffer, numRead);
    }

    juce::String decodeUTF8 (const juce::MemoryBlock& bytes)
    {
        return juce::String::fromUTF8 (static_cast<const char*> (bytes.getData()), (int) bytes.getSize());
    }

    void logOutcome (const SubprocessRunner::Result& result)
    {
        // Longer outputs would flood the log; callers still get all of it.
        constexpr int maxLoggedLength = 1999;

        juce::Logger::writeToLog ("[SubprocessRunner] Exit code: " + juce::String (result.exitCode)
                                  + " | Elapsed: " + juce::String (result.elapsedMs, 1, false) + "ms");

        if (result.output.isNotEmpty() && result.output.length() <= maxLoggedLength)
            juce::Logger::writeToLog ("[SubprocessRunner] Output: " + result.output.trim());
    }
}

//==============================================================================
SubprocessRunner::Result SubprocessRunner::run (const juce::StringArray& args, int timeoutMs,
                                                const juce::File& /*workingDirectory*/)
{
    Result result;

    if (args.isEmpty())
    {
        result.errorMessage = "ERROR: Empty command arguments";
        return result;
    }

    juce::Logger::writeToLog ("[SubprocessRunner] Executing: " + args.joinIntoString (" "));
    const auto startTime = juce::Time::getMillisecondCounterHiRes();

    PipedChild child;

    if (! child.start (args))
    {
        result.errorMessage = "ERROR: Failed to start process: " + args[0];
        result.elapsedMs = juce::Time::getMillisecondCounterHiRes() - startTime;
        juce::Logger::writeToLog ("[SubprocessRunner] " + result.errorMessage);
        return result;
    }

    juce::MemoryBlock collected;

    if (waitAndCollect (child, timeoutMs, collected))
    {
        result.timedOut = true;
        child.kill();
        juce::Logger::writeToLog ("[SubprocessRunner] Process timed out after " + juce::String (timeoutMs) + "ms");
    }
    else
    {
        drainAfterExit (child, collected);
    }

    result.exitCode = child.getExitCode();
    result.output = decodeUTF8 (collected);
    result.elapsedMs = juce::Time::getMillisecondCounterHiRes() - startTime;
    logOutcome (result);
    return result;
}

//==============================================================================
bool SubprocessRunner::validateBinary (const juce::File& programFile)
{
    const auto path = programFile.getFullPathName();

    if (! programFile.existsAsFile())
    {
        juce::Logger::writeToLog ("[SubprocessRunner] Binary not found: " + path);
        return false;
    }

    PipedChild test;

    // Without the test utility there is nothing to contradict the file's use.
    if (! test.start (juce::StringArray ("test", "-x", path)))
        return true;

    // A test still running at the limit is not stopped; it reads exit code 0 and
    // is let go (collected on destruction if it has ended by then).
    constexpr int testLimitMs = 2000;
    test.waitForExit (testLimitMs);

    if (test.getExitCode() != 0)
    {
        juce::Logger::writeToLog ("[SubprocessRunner] Binary not executable: " + path);
        return false;
    }

    return true;
}

bool SubprocessRunner::probeBinary (const juce::File& programFile, const juce::String& probeArgument)
{
    if (! validateBinary (programFile))
        return false;

    constexpr int probeLimitMs = 10000;
    const auto result = run (juce::StringArray (programFile.getFullPathName(), probeArgument), probeLimitMs, {});

    // A program killed at the limit also reads exit code 0, but it has not shown that it works.
    return result.exitCode == 0 && ! result.timedOut;
}
