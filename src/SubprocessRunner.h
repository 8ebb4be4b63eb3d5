#pragma once

#include <juce_core/juce_core.h>

/** Runs an outside program with a time limit and captures what it prints. */
class SubprocessRunner
{
public:
    SubprocessRunner() = delete;
};
