// Windows' rules for a handle opened unbuffered on a disk of a given sector
// size (tests/strict_windows.h keeps them with the rest of Windows' rules):
// strict_io_install sets the sector size and makes the free-space query
// report it. Used by the engine's tests and by the fill bench.
#ifndef VANTA_TESTS_ENGINE_STRICT_IO_H
#define VANTA_TESTS_ENGINE_STRICT_IO_H

#include <windows.h>
#include "strict_windows.h"
#include "engine/wipe_engine.h"

void strict_io_install(DWORD sector);

#endif
