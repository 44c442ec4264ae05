#include "processes.h"
