// Windows' rules for a handle opened unbuffered, which Wine does not enforce:
// a transfer whose size, file position or buffer is not a whole number of
// sectors is refused with ERROR_INVALID_PARAMETER, and so is a move of the
// file pointer to a position within a sector. strict_io_install puts them
// into the engine's file calls and makes the free-space query report that
// sector size; refusals other than the fill's 700-byte first write (made to
// be refused) are kept in strict_refusals. Used by the engine's tests and by
// the fill bench.
#ifndef VANTA_TESTS_ENGINE_STRICT_IO_H
#define VANTA_TESTS_ENGINE_STRICT_IO_H

#include <windows.h>
#include <string>
#include <vector>
#include "engine/wipe_engine.h"

extern DWORD strict_sector_bytes;
extern std::vector<std::string> strict_refusals;
void strict_io_install(DWORD sector);

#endif
