#include <gtest/gtest.h>

#include "AudioAnalyzer.h"
