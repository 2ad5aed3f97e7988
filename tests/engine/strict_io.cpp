// Windows' rules for handles opened unbuffered, which Wine does not enforce.
#include "strict_io.h"

#include <stdint.h>
#include <string.h>
#include <set>

DWORD strict_sector_bytes;
std::vector<std::string> strict_refusals;
static std::set<HANDLE> unbuffered;

static HANDLE WINAPI strict_create(HANDLE folder, LPCWSTR name, DWORD access, DWORD share, DWORD disposition,
                                   DWORD flags)
{
    HANDLE file = create_in_folder(folder, name, access, share, disposition, flags);
    if (file != INVALID_HANDLE_VALUE && (flags & FILE_FLAG_NO_BUFFERING))
        unbuffered.insert(file);
    else
        unbuffered.erase(file);   // a handle value used again
    return file;
}

// True, with the refusal noted, when Windows would refuse this transfer.
static bool refused(const char *call, HANDLE file, const void *buffer, DWORD size)
{
    LARGE_INTEGER zero = {}, at = {};
    if (!unbuffered.count(file) || !SetFilePointerEx(file, zero, &at, FILE_CURRENT))
        return false;
    DWORD sector = strict_sector_bytes;
    if (size % sector == 0 && at.QuadPart % sector == 0 && (uintptr_t)buffer % sector == 0)
        return false;
    if (strcmp(call, "WriteFile") || size != FIRST_WRITE_BYTES || at.QuadPart != 0)
        strict_refusals.push_back(std::string(call) + " of " + std::to_string(size) + " bytes at " +
                                  std::to_string(at.QuadPart));
    SetLastError(ERROR_INVALID_PARAMETER);
    return true;
}

static BOOL WINAPI strict_write(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (refused("WriteFile", file, buffer, size))
        return *written = 0, FALSE;
    return WriteFile(file, buffer, size, written, overlapped);
}

static BOOL WINAPI strict_read(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (refused("ReadFile", file, buffer, size))
        return *got = 0, FALSE;
    return ReadFile(file, buffer, size, got, overlapped);
}

static DWORD WINAPI strict_seek(HANDLE file, LONG low, PLONG high, DWORD method)
{
    long long target = ((long long)(high ? *high : 0) << 32) | (DWORD)low;
    if (unbuffered.count(file) && method == FILE_BEGIN && target % strict_sector_bytes != 0) {
        strict_refusals.push_back("SetFilePointer to " + std::to_string(target));
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    return SetFilePointer(file, low, high, method);
}

// The volume as a disk of strict_sector() bytes a sector would describe it.
static BOOL WINAPI strict_free_basic(LPCSTR root, LPDWORD per_cluster, LPDWORD per_sector, LPDWORD free_clusters,
                                     LPDWORD clusters)
{
    BOOL ok = GetDiskFreeSpaceA(root, per_cluster, per_sector, free_clusters, clusters);
    DWORD sector = strict_sector_bytes, cluster = ok ? *per_cluster * *per_sector : 0;
    if (ok && sector > *per_sector && cluster % sector == 0)
        *per_cluster = cluster / sector, *per_sector = sector;
    return ok;
}

void strict_io_install(DWORD sector)
{
    strict_sector_bytes = sector;
    strict_refusals.clear();
    unbuffered.clear();
    file_calls = FileCalls{strict_create, strict_write, strict_read, strict_seek};
    get_free_basic = strict_free_basic;
}
