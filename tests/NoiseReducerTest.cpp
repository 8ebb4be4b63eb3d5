#include <gtest/gtest.h>

#include "NoiseReducer.h"
