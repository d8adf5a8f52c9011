#include "velkio.h"
