#include "SubprocessRunner.h"

#include <algorithm>
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

#if defined(__linux__)
 #include <sys/syscall.h>
#endif

// glibc has had a file action that closes every descriptor from a given one on since 2.34.
#if defined(__GLIBC__) && defined(__GLIBC_PREREQ)
 #if __GLIBC_PREREQ(2, 34)
  #define VOXMENDER_SPAWN_HAS_CLOSEFROM 1
 #endif
#endif

#ifndef VOXMENDER_SPAWN_HAS_CLOSEFROM
 #define VOXMENDER_SPAWN_HAS_CLOSEFROM 0
#endif

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

    /** One read takes up to this much of the child's output; the wait reads again as
        soon as more has arrived, so a child is never held back by a full pipe for long.
    */
    constexpr size_t readChunkBytes = 64 * 1024;

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

    /** A descriptor that becomes readable when the child exits, so that a wait for
        output wakes for the exit too, even while something the child started holds the
        output open; -1 where the system has none (then the wait checks in short steps).
        The child is not reaped before this is opened, so its pid is still its own.
    */
    int openExitDescriptor (pid_t child)
    {
       #if defined(__linux__) && defined(SYS_pidfd_open)
        // Close-on-exec from the start, as the call always makes it.
        return (int) ::syscall (SYS_pidfd_open, child, 0);
       #else
        juce::ignoreUnused (child);
        return -1;
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
            children directly either, and so is a write to a pipe whose reader has gone
            (a log viewer closed, "| head" satisfied, a dropped remote login).
        */
        constexpr int endingSignals[] = { SIGHUP, SIGINT, SIGPIPE, SIGQUIT, SIGTERM };

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
            program that reads keypresses sees an empty input instead of the terminal),
            and no other descriptor: JUCE opens files without close-on-exec, and a child
            (or a helper it leaves behind) must not hold, or write to, other jobs' files.
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

            if (const auto error = closeAllButStandardStreams())
                return error;

            if (const auto error = posix_spawnattr_setpgroup (&attributes, 0))
                return error;

            if (const auto error = posix_spawnattr_setsigmask (&attributes, &signalMask))
                return error;

            short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK;

           #if defined(__APPLE__)
            // Every descriptor not named by a file action is closed in the child.
            flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
           #endif

            return posix_spawnattr_setflags (&attributes, flags);
        }

        /** Done after the standard streams are in place, so the pipe's own descriptor goes too. */
        int closeAllButStandardStreams()
        {
           #if VOXMENDER_SPAWN_HAS_CLOSEFROM
            return posix_spawn_file_actions_addclosefrom_np (&actions, STDERR_FILENO + 1);
           #else
            return 0;   // macOS closes them through its spawn flag; elsewhere close-on-exec must do
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
    /** What a child printed, kept within a bound: the first and the last edgeBytes of
        it, and a count of the bytes between them. A program that prints progress for
        minutes would otherwise hold this process's memory without end; the start says
        what the program is and the end why it stopped.
    */
    class BoundedOutput
    {
    public:
        static constexpr size_t edgeBytes = 64 * 1024;

        void append (const char* data, size_t size)
        {
            const auto intoHead = juce::jmin (size, edgeBytes - head.size());
            head.append (data, intoHead);
            appendToTail (data + intoHead, size - intoHead);
        }

        /** The kept bytes as text; where some were left out, a line between the two
            ends says how many. Each end is cut at a whole character.
        */
        juce::String decode() const
        {
            const auto tailBytes = linearTail();

            if (droppedBytes == 0)
                return decodeUTF8 (head + tailBytes);

            const auto headKept = completeCharactersAtStart (head);
            const auto tailStart = firstCharacterStart (tailBytes);
            const auto dropped = droppedBytes + (head.size() - headKept) + tailStart;

            return decodeUTF8 (head.substr (0, headKept))
                   + "\n[... " + juce::String ((juce::uint64) dropped) + " bytes of output dropped ...]\n"
                   + decodeUTF8 (tailBytes.substr (tailStart));
        }

    private:
        std::string head;
        std::vector<char> ring;   // the tail, edgeBytes long once the head is full
        size_t ringEnd = 0;       // where the next byte of the tail goes
        size_t tailSize = 0;
        juce::uint64 droppedBytes = 0;

        void appendToTail (const char* data, size_t size)
        {
            if (size == 0)
                return;

            if (ring.empty())
                ring.resize (edgeBytes);

            // Only the last edgeBytes of what arrives can stay.
            if (size > edgeBytes)
            {
                droppedBytes += size - edgeBytes;
                data += size - edgeBytes;
                size = edgeBytes;
            }

            droppedBytes += (tailSize + size > edgeBytes) ? tailSize + size - edgeBytes : 0;
            tailSize = juce::jmin (edgeBytes, tailSize + size);

            const auto firstPart = juce::jmin (size, edgeBytes - ringEnd);
            std::copy (data, data + firstPart, ring.begin() + (std::ptrdiff_t) ringEnd);
            std::copy (data + firstPart, data + size, ring.begin());
            ringEnd = (ringEnd + size) % edgeBytes;
        }

        std::string linearTail() const
        {
            if (tailSize == 0)
                return {};

            const auto start = (ringEnd + edgeBytes - tailSize) % edgeBytes;
            const auto firstPart = juce::jmin (tailSize, edgeBytes - start);
            std::string tail (ring.data() + start, firstPart);
            tail.append (ring.data(), tailSize - firstPart);
            return tail;
        }

        static bool isContinuationByte (char c)   { return ((unsigned char) c & 0xc0) == 0x80; }

        /** How many bytes a character takes whose first byte is c; 1 for a byte that starts none. */
        static size_t sequenceLength (char c)
        {
            const auto byte = (unsigned char) c;
            return byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 1;
        }

        /** The length of bytes without a character cut short at its end. */
        static size_t completeCharactersAtStart (const std::string& bytes)
        {
            constexpr size_t longestSequence = 4;

            for (size_t back = 1; back <= juce::jmin (longestSequence, bytes.size()); ++back)
            {
                const auto lead = bytes[bytes.size() - back];

                if (! isContinuationByte (lead))
                    return sequenceLength (lead) > back ? bytes.size() - back : bytes.size();
            }

            return bytes.size();
        }

        /** Where the first whole character of bytes starts, past the rest of one cut short. */
        static size_t firstCharacterStart (const std::string& bytes)
        {
            constexpr size_t longestContinuation = 3;
            size_t start = 0;

            while (start < juce::jmin (longestContinuation, bytes.size()) && isContinuationByte (bytes[start]))
                ++start;

            return start;
        }

        static juce::String decodeUTF8 (const std::string& bytes)
        {
            return juce::String::fromUTF8 (bytes.data(), (int) bytes.size());
        }
    };

    //==============================================================================
    /** Reports whether a child has ended, and how, from what the system says about it. */
    struct ChildStatus
    {
        bool ended = false;        // the child has ended; how is known, or was lost
        bool lost = false;         // it ended, but its status was collected by someone else
        int exitCode = 0;          // its exit status, when it exited by itself
        int terminatingSignal = 0; // the signal that ended it, whoever sent it

        /** Only an exit or a death by a signal ends a child: a report that it stopped
            (which waitid may give on some systems even when asked for endings only)
            means that it will go on once it is continued.
        */
        static bool isEnding (const siginfo_t& info)
        {
            return info.si_pid != 0
                    && (info.si_code == CLD_EXITED || info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED);
        }

        void recordEnding (const siginfo_t& info)
        {
            ended = true;
            const bool exited = info.si_code == CLD_EXITED;
            exitCode = exited ? info.si_status : 0;
            terminatingSignal = exited ? 0 : info.si_status;
        }

        void recordWaitStatus (int status)
        {
            ended = true;
            exitCode = WIFEXITED (status) ? WEXITSTATUS (status) : 0;
            terminatingSignal = WIFSIGNALED (status) ? WTERMSIG (status) : 0;
        }

        /** The child is gone and nobody here saw how it ended: with SIGCHLD ignored the
            system discards the status. Nothing says it succeeded, so it reads as a failure.
        */
        void recordLost()
        {
            ended = lost = true;
            exitCode = lostStatusExitCode;
            terminatingSignal = 0;
        }

        static constexpr int lostStatusExitCode = -1;
    };

    //==============================================================================
    /** A child process whose standard output and standard error arrive through one
        pipe, and whose standard input is empty; it leads a process group of its own.
        It is started, waited for while everything it prints is taken, and ended.

        Owns the read end of the pipe and a descriptor that becomes readable when the
        child exits (each closed exactly once), and the child's group: the leader is
        reaped only after the group has been killed, so the group's id can never have
        passed to someone else when it is killed. Ending the group (done at the latest
        on destruction) kills whatever of it is still running, then reaps the leader.
    */
    class PipedChild
    {
    public:
        PipedChild() = default;

        ~PipedChild()
        {
            closeOnce (readFd);
            closeOnce (exitFd);
            endGroup();
        }

        //==============================================================================
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
                exitFd = openExitDescriptor (pid);
                return true;
            }

            pid = -1;
            closeOnce (readFd);
            return isResourceShortage (error) ? false : endedWithoutExecuting();
        }

        //==============================================================================
        /** Takes everything the child prints, as soon as it arrives, until the child has
            ended (true) or the deadline, on the millisecond counter, has passed (false).
        */
        bool collectUntilEnded (double deadlineMs, BoundedOutput& output)
        {
            for (;;)
            {
                if (hasEnded())
                    return true;

                const auto remainingMs = deadlineMs - juce::Time::getMillisecondCounterHiRes();

                if (remainingMs <= 0.0)
                    return false;

                const auto exitReported = waitForOutputOrExit (remainingMs, true);
                readAvailable (output);

                // Gone, but its status is not to be had yet (a tracer sees it first): from
                // here on check in steps rather than wake at once, again and again.
                if (exitReported && ! hasEnded())
                    closeOnce (exitFd);
            }
        }

        /** Takes what the child left in its output until every holder of the pipe's write
            end has closed it, or the deadline has passed.
        */
        void collectUntilClosed (double deadlineMs, BoundedOutput& output)
        {
            for (;;)
            {
                readAvailable (output);

                const auto remainingMs = deadlineMs - juce::Time::getMillisecondCounterHiRes();

                if (readFd < 0 || remainingMs <= 0.0)
                    return;

                waitForOutputOrExit (remainingMs, false);
            }
        }

        /** How the child ended, once it has; all zero while it still runs. */
        ChildStatus getStatus()
        {
            hasEnded();
            return status.ended ? status : ChildStatus {};
        }

        //==============================================================================
        /** Kills the child's whole group with SIGKILL (the child too, if it still runs),
            then reaps the child, so that nothing of it is left running and no zombie is
            left either. Does nothing the second time.
        */
        void endGroup()
        {
            if (pid > 0 && ! reaped)
                ::kill (-pid, SIGKILL);

            leaveSlot();

            if (pid <= 0 || reaped)
                return;

            if (LiveGroups::programEnding.load())
                LiveGroups::waitForProgramEnd();

            reap();
        }

    private:
        pid_t pid = -1;
        int readFd = -1;
        int exitFd = -1;
        int registrySlot = -1;
        bool reaped = false;   // the child's pid, and so its group's id, may have been handed out again
        ChildStatus status;
        std::vector<char> readBuffer;

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
            reaped = true;
            status.ended = true;
            status.exitCode = cannotExecuteExitCode;
            return true;
        }

        /** True once the child itself has ended. Its status is taken without reaping
            it, so its group's id stays reserved.
        */
        bool hasEnded()
        {
            if (status.ended || pid <= 0)
                return true;

            siginfo_t info {};
            info.si_pid = 0;
            const auto result = ::waitid (P_PID, (id_t) pid, &info, WEXITED | WNOHANG | WNOWAIT);

            if (result == 0)
            {
                if (! ChildStatus::isEnding (info))
                    return false;

                status.recordEnding (info);
                return true;
            }

            if (errno == EINTR)
                return false;

            // Reaped by the system or by someone else: the pid, and so the group's id, may
            // already be another process's, so no signal may be sent to it from now on.
            status.recordLost();
            reaped = true;
            leaveSlot();
            return true;
        }

        void leaveSlot()
        {
            LiveGroups::remove (registrySlot);
            registrySlot = -1;
        }

        /** Collects the child's status; it has ended, or been sent SIGKILL. */
        void reap()
        {
            int waitStatus = 0;
            pid_t result;

            do
                result = ::waitpid (pid, &waitStatus, 0);
            while (result < 0 && errno == EINTR);

            // A status that went elsewhere after a kill: the child was ended, by this runner.
            if (! status.ended)
            {
                if (result == pid)
                    status.recordWaitStatus (waitStatus);
                else
                    status.ended = true;
            }

            reaped = true;
        }

        /** Waits at most timeoutMs for output, for the end of the output or, when asked,
            for the child's exit; a signal may cut the wait short. Where the system gives
            no descriptor for the exit, the wait is cut into short steps instead, so that
            an exit is still seen while something the child started holds the output open.
            True when the exit descriptor reported the exit.
        */
        bool waitForOutputOrExit (double timeoutMs, bool untilExit)
        {
            constexpr double exitCheckIntervalMs = 10.0;

            pollfd requests[2] = { { readFd, POLLIN, 0 }, { untilExit ? exitFd : -1, POLLIN, 0 } };

            if (untilExit && exitFd < 0)
                timeoutMs = juce::jmin (timeoutMs, exitCheckIntervalMs);

            return ::poll (requests, 2, (int) std::ceil (timeoutMs)) > 0 && requests[1].revents != 0;
        }

        /** Takes one read of what the pipe holds, without waiting for more; at the end of
            the output (or a failed read) the read end is closed, so that no later wait
            wakes for it again.
        */
        void readAvailable (BoundedOutput& output)
        {
            if (readFd < 0)
                return;

            // On the heap: a pool thread's stack may be small (half a megabyte on macOS).
            if (readBuffer.empty())
                readBuffer.resize (readChunkBytes);

            ssize_t numRead;

            do
                numRead = ::read (readFd, readBuffer.data(), readBuffer.size());
            while (numRead < 0 && errno == EINTR);

            if (numRead > 0)
                output.append (readBuffer.data(), (size_t) numRead);
            else if (numRead == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                closeOnce (readFd);
        }

        PipedChild (const PipedChild&) = delete;
        PipedChild& operator= (const PipedChild&) = delete;
    };

    //==============================================================================
    void logOutcome (const SubprocessRunner::Result& result)
    {
        // Longer outputs would flood the log; callers still get all that was kept.
        constexpr int maxLoggedLength = 1999;

        if (result.statusLost)
            juce::Logger::writeToLog ("[SubprocessRunner] Exit status lost (collected outside this program); "
                                      "the run counts as failed");

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

    BoundedOutput output;
    const auto deadline = startTime + timeoutMs;

    if (child.collectUntilEnded (deadline, output))
    {
        // What the child wrote is in the pipe by now; only something it left running can
        // keep the pipe open, and that may never close it. The grace never takes the run
        // more than that beyond its time limit.
        const auto now = juce::Time::getMillisecondCounterHiRes();
        child.collectUntilClosed (juce::jmin (now, deadline) + outputGraceMs, output);
    }
    else
    {
        result.timedOut = true;
        juce::Logger::writeToLog ("[SubprocessRunner] Process timed out after " + juce::String (timeoutMs) + "ms");
    }

    // Whatever the program left running goes with it, whether or not it still held the output.
    child.endGroup();

    const auto status = child.getStatus();
    result.exitCode = status.exitCode;
    result.statusLost = status.lost;

    // The runner's own kill at the limit is told by timedOut.
    if (! result.timedOut)
        result.terminatingSignal = status.terminatingSignal;

    result.output = output.decode();
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
    BoundedOutput ignored;
    test.collectUntilEnded (juce::Time::getMillisecondCounterHiRes() + testLimitMs, ignored);

    if (test.getStatus().exitCode != 0)
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
