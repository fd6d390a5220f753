// Placeholder: the POSIX platform layer.
#include "platform/platform.h"
