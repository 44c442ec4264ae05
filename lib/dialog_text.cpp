#include "dialog_text.h"
