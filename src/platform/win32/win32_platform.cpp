// Placeholder: the Win32 platform layer.
#include "platform/platform.h"
