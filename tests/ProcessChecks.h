#pragma once

// Checks on the processes that outside programs leave behind: whether one has
// ended, and the pids a program wrote into a file.

#include <juce_core/juce_core.h>

#include <cerrno>
#include <fstream>
#include <string>

#include <signal.h>
#include <sys/types.h>

namespace testing_support
{
    /** True once the process has ended: it is gone, or it is dead and waits for the
        parent it was handed to (once its own had gone) to collect it.
    */
    inline bool hasEnded (pid_t pid)
    {
        if (::kill (pid, 0) != 0)
            return errno == ESRCH;

       #if defined(__linux__)
        // The state follows the parenthesised program name, which may hold blanks.
        std::ifstream stat ("/proc/" + std::to_string (pid) + "/stat");
        std::string line;

        if (! std::getline (stat, line))
            return true;

        const auto nameEnd = line.rfind (')');
        const auto state = nameEnd != std::string::npos && nameEnd + 2 < line.size() ? line[nameEnd + 2] : '?';
        return state == 'Z' || state == 'X';
       #else
        return false;
       #endif
    }

    /** Waits a few seconds for the process to end; false when it is still running then. */
    inline bool endsSoon (pid_t pid)
    {
        constexpr int patienceMs = 10000;
        constexpr int checkIntervalMs = 10;

        for (int waitedMs = 0; ! hasEnded (pid); waitedMs += checkIntervalMs)
        {
            if (waitedMs >= patienceMs)
                return false;

            juce::Thread::sleep (checkIntervalMs);
        }

        return true;
    }

    /** The pids written into file, one a line, once it holds at least count of them;
        fewer when it does not within half a minute.
    */
    inline juce::Array<pid_t> waitForPids (const juce::File& file, int count)
    {
        constexpr int patienceMs = 30000;
        constexpr int checkIntervalMs = 10;
        juce::Array<pid_t> pids;

        for (int waitedMs = 0; waitedMs < patienceMs; waitedMs += checkIntervalMs)
        {
            pids.clear();

            for (const auto& line : juce::StringArray::fromLines (file.loadFileAsString()))
                if (line.getIntValue() > 0)
                    pids.add ((pid_t) line.getIntValue());

            if (pids.size() >= count)
                break;

            juce::Thread::sleep (checkIntervalMs);
        }

        return pids;
    }
}
