#include <gtest/gtest.h>

#include "SubprocessRunner.h"
