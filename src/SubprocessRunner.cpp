#include "SubprocessRunner.h"
