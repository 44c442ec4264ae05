#include "edition.h"
