#include "SubprocessRunner.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <pthread.h>
#include <time.h>
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

    /** How long the output of a program that has exited is still read. What it wrote
        is in the pipe by then; only something it left running can keep the pipe open,
        and that may never close it.
    */
    constexpr int outputGraceMs = 1000;

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
    /** The process groups of the children running now, so that a signal that ends this
        program can end them too: each child runs in a group of its own, out of reach of
        the terminal's interrupt, and would otherwise outlive the program.

        This is the runner's one piece of process-wide state, kept to what a signal
        handler may touch: fixed slots of lock-free atomics. A group is in a slot only
        while its leader (whose pid is the group's id) has not been reaped; an unreaped
        leader keeps that id from being handed out again, so a group found here is
        always one of ours.
    */
    namespace LiveGroups
    {
        // One per job running at once, with room to spare; a child that finds no free
        // slot still runs and is still ended at its limit, only not by a signal.
        constexpr int maxGroups = 256;

        std::atomic<pid_t> slots[maxGroups];
        std::atomic<int> startsUnderway { 0 };
        std::atomic<bool> programEnding { false };

        static_assert (std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free
                         && std::atomic<bool>::is_always_lock_free,
                       "the signal handler may only touch lock-free atomics");

        /** The slot the group went into, or -1 when every slot is taken. */
        int add (pid_t group)
        {
            for (int i = 0; i < maxGroups; ++i)
            {
                pid_t empty = 0;

                if (slots[i].compare_exchange_strong (empty, group))
                    return i;
            }

            return -1;
        }

        void remove (int slot)
        {
            if (slot >= 0)
                slots[slot].exchange (0);
        }

        /** The signals that end this program on a user's or a system's request; the
            terminal's hang-up and quit are among them, since they no longer reach the
            children directly either.
        */
        constexpr int endingSignals[] = { SIGHUP, SIGINT, SIGQUIT, SIGTERM };

        sigset_t makeEndingSignalSet()
        {
            sigset_t set;
            sigemptyset (&set);

            for (const auto signalNumber : endingSignals)
                sigaddset (&set, signalNumber);

            return set;
        }

        /** A start on another thread puts its group in a slot within moments; the
            handler waits for that rather than miss the group, but not for ever.
        */
        void waitForStartsUnderway()
        {
            constexpr int maxWaits = 2000;
            const timespec oneMillisecond { 0, 1000000 };

            for (int i = 0; i < maxWaits && startsUnderway.load() > 0; ++i)
                nanosleep (&oneMillisecond, nullptr);
        }

        /** Kills every live group, then lets the signal end this program as it would
            have without the handler. Touches only atomics and async-signal-safe calls.
        */
        void endGroupsAndReraise (int signalNumber)
        {
            const auto savedErrno = errno;

            programEnding.store (true);
            waitForStartsUnderway();

            for (auto& slot : slots)
                if (const auto group = slot.load(); group > 0)
                    ::kill (-group, SIGKILL);

            struct sigaction defaultAction {};
            defaultAction.sa_handler = SIG_DFL;
            sigemptyset (&defaultAction.sa_mask);
            sigaction (signalNumber, &defaultAction, nullptr);

            // Blocked until this handler returns, then delivered with its default action.
            raise (signalNumber);
            errno = savedErrno;
        }

        /** Installs the handler for every ending signal still at its default action; one
            that is ignored (as under nohup, or in a background job) stays ignored, and one
            that someone else handles stays theirs.
        */
        void installHandlersOnce()
        {
            static std::once_flag once;

            std::call_once (once, []
            {
                struct sigaction action {};
                action.sa_handler = endGroupsAndReraise;
                action.sa_mask = makeEndingSignalSet();
                action.sa_flags = SA_RESTART;

                for (const auto signalNumber : endingSignals)
                {
                    struct sigaction current {};

                    if (sigaction (signalNumber, nullptr, &current) == 0
                         && (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL)
                        sigaction (signalNumber, &action, nullptr);
                }
            });
        }

        /** A handler on another thread is ending this program and may be about to kill a
            group that has just left its slot. Its leader must stay unreaped, keeping the
            group's id reserved, until the program has gone.
        */
        [[noreturn]] void waitForProgramEnd()
        {
            for (;;)
                ::pause();
        }

        /** While a child is started and put in its slot: the ending signals are kept off
            this thread, and a handler on another thread waits for the slot to be filled,
            so that no child starts unseen by a handler.
        */
        class StartWindow
        {
        public:
            StartWindow()
            {
                const auto blocked = makeEndingSignalSet();
                pthread_sigmask (SIG_BLOCK, &blocked, &previousMask);
                startsUnderway.fetch_add (1);
            }

            ~StartWindow()
            {
                startsUnderway.fetch_sub (1);
                pthread_sigmask (SIG_SETMASK, &previousMask, nullptr);
            }

            /** True once a handler has begun ending the program: start nothing more. */
            bool programIsEnding() const   { return programEnding.load(); }

            /** The signal mask the child starts with: this thread's own, not the one the window set. */
            const sigset_t& childSignalMask() const   { return previousMask; }

        private:
            sigset_t previousMask;

            StartWindow (const StartWindow&) = delete;
            StartWindow& operator= (const StartWindow&) = delete;
        };
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
            The child leads a process group of its own, so that it and everything it
            starts can be ended together, and starts with signalMask.
        */
        int prepare (int outputFd, const sigset_t& signalMask)
        {
            if (! (actionsReady && attributesReady))
                return ENOMEM;

            if (const auto error = posix_spawn_file_actions_adddup2 (&actions, outputFd, STDOUT_FILENO))
                return error;

            if (const auto error = posix_spawn_file_actions_adddup2 (&actions, outputFd, STDERR_FILENO))
                return error;

            if (const auto error = posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0))
                return error;

            if (const auto error = posix_spawnattr_setpgroup (&attributes, 0))
                return error;

            if (const auto error = posix_spawnattr_setsigmask (&attributes, &signalMask))
                return error;

            short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK;

           #if defined(__APPLE__)
            flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
           #endif

            return posix_spawnattr_setflags (&attributes, flags);
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
        pipe, and whose standard input is empty; it leads a process group of its own.

        Owns the read end of the pipe (closed exactly once) and the child's group: the
        leader is reaped only after the group has been killed, so the group's id can
        never have passed to someone else when it is killed. Ending the group (done at
        the latest on destruction) kills whatever of it is still running, then reaps
        the leader.
    */
    class PipedChild
    {
    public:
        PipedChild() = default;

        ~PipedChild()
        {
            closeOnce (readFd);
            endGroup();
        }

        /** Starts args[0] with the non-empty items as its argument list. False only
            when no pipe or process could be made, when every item is empty, or when
            this program is being ended by a signal; a program that cannot be executed
            counts as started and ended with 255.
        */
        bool start (const juce::StringArray& args)
        {
            LiveGroups::installHandlersOnce();

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

            LiveGroups::StartWindow window;

            if (window.programIsEnding())
            {
                closeOnce (writeFd);
                closeOnce (readFd);
                return false;
            }

            const auto error = spawnChild (program, items, writeFd, window.childSignalMask());
            closeOnce (writeFd);

            if (error == 0)
            {
                registrySlot = LiveGroups::add (pid);
                return true;
            }

            pid = -1;
            closeOnce (readFd);
            return isResourceShortage (error) ? false : endedWithoutExecuting();
        }

        /** True once the child itself has ended. Its status is taken without reaping
            it, so its group's id stays reserved.
        */
        bool hasEnded()
        {
            if (ended || pid <= 0)
                return true;

            siginfo_t info {};
            info.si_pid = 0;
            const auto result = ::waitid (P_PID, (id_t) pid, &info, WEXITED | WNOHANG | WNOWAIT);

            if (result == 0 && info.si_pid == 0)
                return false;

            if (result < 0 && errno == EINTR)
                return false;

            if (result == 0)
                recordEnding (info);
            else
                recordLostStatus();

            return true;
        }

        /** Polls until the child has ended or timeoutMs has passed; true when it ended. */
        bool waitForExit (int timeoutMs)
        {
            constexpr int checkIntervalMs = 2;
            const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;

            while (! hasEnded())
            {
                if (juce::Time::getMillisecondCounterHiRes() >= deadline)
                    return false;

                juce::Thread::sleep (checkIntervalMs);
            }

            return true;
        }

        /** Kills the child's whole group with SIGKILL (the child too, if it still runs),
            then reaps the child, so that nothing of it is left running and no zombie is
            left either. Does nothing the second time.
        */
        void endGroup()
        {
            if (pid > 0 && ! reaped)
                ::kill (-pid, SIGKILL);

            LiveGroups::remove (registrySlot);
            registrySlot = -1;

            if (pid <= 0 || reaped)
                return;

            if (LiveGroups::programEnding.load())
                LiveGroups::waitForProgramEnd();

            reap();
        }

        /** The exit status of a child that exited by itself; 0 for one still
            running, ended by a signal or killed.
        */
        int getExitCode()
        {
            hasEnded();
            return ended ? exitCode : 0;
        }

        /** The signal that ended the child, whoever sent it; 0 when it exited by itself
            or is still running.
        */
        int getTerminatingSignal()
        {
            hasEnded();
            return ended ? terminatingSignal : 0;
        }

        /** Reads what the pipe holds, at most maxBytes, without waiting for more.
            Returns how many bytes were read (0 when nothing is there yet).
        */
        size_t readAvailable (void* destination, size_t maxBytes)
        {
            const auto numRead = readOnce (destination, maxBytes);
            return numRead > 0 ? (size_t) numRead : 0;
        }

        /** Reads what arrives until the output ends (every holder of the pipe's write
            end has closed it) or the deadline, on the millisecond counter, has passed.
        */
        void readUntil (double deadlineMs, juce::MemoryBlock& collected)
        {
            char buffer[readChunkBytes];

            for (;;)
            {
                const auto numRead = readOnce (buffer, sizeof (buffer));

                if (numRead > 0)
                    collected.append (buffer, (size_t) numRead);
                else if (numRead == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                    return;

                const auto remainingMs = deadlineMs - juce::Time::getMillisecondCounterHiRes();

                if (remainingMs <= 0.0)
                    return;

                if (numRead < 0)
                    waitForOutput ((int) std::ceil (remainingMs));
            }
        }

    private:
        pid_t pid = -1;
        int readFd = -1;
        int registrySlot = -1;
        bool ended = false;    // the child has ended; its status is known, or was taken by someone else
        bool reaped = false;   // the child's pid, and so its group's id, may have been handed out again
        int exitCode = 0;
        int terminatingSignal = 0;

        int spawnChild (const std::string& program, std::vector<std::string>& items, int writeFd,
                        const sigset_t& signalMask)
        {
            SpawnSetup setup;

            if (const auto error = setup.prepare (writeFd, signalMask))
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
            ended = reaped = true;
            exitCode = cannotExecuteExitCode;
            return true;
        }

        void recordEnding (const siginfo_t& info)
        {
            ended = true;
            const bool exited = info.si_code == CLD_EXITED;
            exitCode = exited ? info.si_status : 0;
            terminatingSignal = exited ? 0 : info.si_status;
        }

        void recordStatus (int status)
        {
            ended = true;
            exitCode = WIFEXITED (status) ? WEXITSTATUS (status) : 0;
            terminatingSignal = WIFSIGNALED (status) ? WTERMSIG (status) : 0;
        }

        /** Someone else collected the status, so the child's pid may already belong to
            another process: all that is known is that the child has gone, and its group
            is no longer known to be ours.
        */
        void recordLostStatus()
        {
            ended = reaped = true;
            exitCode = 0;
            terminatingSignal = 0;
        }

        /** Collects the child's status; it has ended, or been sent SIGKILL. */
        void reap()
        {
            int status = 0;
            pid_t result;

            do
                result = ::waitpid (pid, &status, 0);
            while (result < 0 && errno == EINTR);

            if (result != pid)
                recordLostStatus();
            else if (! ended)
                recordStatus (status);

            reaped = true;
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

        /** Waits at most timeoutMs for output or its end; a signal may cut the wait short. */
        void waitForOutput (int timeoutMs)
        {
            pollfd request { readFd, POLLIN, 0 };
            ::poll (&request, 1, timeoutMs);
        }

        PipedChild (const PipedChild&) = delete;
        PipedChild& operator= (const PipedChild&) = delete;
    };

    //==============================================================================
    /** Polls the child in nominal 50 ms steps, taking what it printed, until it ends
        by itself (returns false) or the step count reaches the limit (returns true).
        The counter counts the sleeps, not the time spent between them; a machine so
        busy that the sleeps run long still stops at the limit by the clock.
    */
    bool waitAndCollect (PipedChild& child, int timeoutMs, double startTime, juce::MemoryBlock& collected)
    {
        constexpr int pollIntervalMs = 50;
        char buffer[readChunkBytes];

        for (int waitedMs = pollIntervalMs;; waitedMs += pollIntervalMs)
        {
            if (child.hasEnded())
                return false;

            collected.append (buffer, child.readAvailable (buffer, sizeof (buffer)));

            if (waitedMs >= timeoutMs || juce::Time::getMillisecondCounterHiRes() - startTime >= timeoutMs)
                return true;

            juce::Thread::sleep (pollIntervalMs);
        }
    }

    /** Takes what is left once the child has exited by itself, until its output ends
        or the grace has passed; the grace never takes the run more than that beyond
        its time limit.
    */
    void drainAfterExit (PipedChild& child, int timeoutMs, double startTime, juce::MemoryBlock& collected)
    {
        const auto now = juce::Time::getMillisecondCounterHiRes();
        child.readUntil (juce::jmin (now, startTime + timeoutMs) + outputGraceMs, collected);
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

    if (waitAndCollect (child, timeoutMs, startTime, collected))
    {
        result.timedOut = true;
        child.endGroup();
        juce::Logger::writeToLog ("[SubprocessRunner] Process timed out after " + juce::String (timeoutMs) + "ms");
    }
    else
    {
        drainAfterExit (child, timeoutMs, startTime, collected);

        // Whatever the program left running goes with it, whether or not it still held the output.
        child.endGroup();
    }

    result.exitCode = child.getExitCode();

    // The runner's own kill at the limit is told by timedOut.
    if (! result.timedOut)
        result.terminatingSignal = child.getTerminatingSignal();

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

    // A test still running at the limit reads exit code 0 and passes; it is ended
    // with its group when the call returns.
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
