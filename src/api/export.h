// Marks a definition as one of the library's exports. Which names are exported
// is decided by the lists made from include/movu_mt5.h; this only keeps the
// POSIX build from hiding them.
#pragma once

#include "movu_mt5.h"

#if defined(_WIN32)
#define MOVU_EXPORT
#else
#define MOVU_EXPORT __attribute__((visibility("default")))
#endif
