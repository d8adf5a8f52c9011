// The run state and the single exit path of velktool5.
#include <cstdlib>

#include "velktool.h"

velktool_RunState g;

void velktool_Exit(int flag)
{
    if (flag != 0)
        VELKIO_LOG(VELKIO_LOG_ERROR, "velktool abnormal end");
    else
        VELKIO_LOG(VELKIO_LOG_INFO, "velktool normal end");
    velktool_freeMemory();
    exit(flag != 0 ? 1 : 0);
}
