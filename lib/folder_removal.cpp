#include "folder_removal.h"
