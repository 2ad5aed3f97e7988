// The sector size Windows' rules for unbuffered handles are held to.
#include "strict_io.h"

// The volume as a disk of strict_sector_bytes a sector would describe it.
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
    if (!strict_windows_installed())
        strict_windows_install();
    strict_sector_bytes = sector;
    get_free_basic = strict_free_basic;
}
