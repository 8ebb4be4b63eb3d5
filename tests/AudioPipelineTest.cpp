#include <gtest/gtest.h>

#include "AudioPipeline.h"
