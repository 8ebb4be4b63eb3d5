#include "AudioPipeline.h"
