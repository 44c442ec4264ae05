#include "language.h"
