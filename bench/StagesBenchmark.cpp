#include "BenchSupport.h"

int runStagesBenchmark()
{
    std::cout << "not built yet" << std::endl;
    return 0;
}
