#include "environment.h"
