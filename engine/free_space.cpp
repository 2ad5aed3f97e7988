// Free-space probe: how many bytes the fill pass may still write.
#include "engine/wipe_engine.h"
#include "support/messages.h"

GetDiskFreeSpaceExProc get_free_ex;
int get_free_ex_ready;
GetDiskFreeSpaceProc get_free_basic = GetDiskFreeSpaceA;
char probe_path[MAX_PATH];
unsigned long long probe_cluster_bytes;
unsigned long long probe_volume_bytes;
unsigned long long probe_volume_free;

void look_up_free_ex(void)
{
    // older systems lack the extended query; the cluster count then serves
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC entry = kernel ? GetProcAddress(kernel, "GetDiskFreeSpaceExA") : NULL;
    get_free_ex = (GetDiskFreeSpaceExProc)(void (*)(void))entry;
    get_free_ex_ready = 1;
}

// A failure is never an answer of 0, even when the system gave no code.
static DWORD report_probe_failure(const char *format)
{
    DWORD code = report_pass_error(format);
    return code ? code : ERROR_GEN_FAILURE;
}

DWORD query_free_bytes(unsigned long long *free_bytes)
{
    DWORD sectors_per_cluster, bytes_per_sector, free_clusters, total_clusters;
    ULARGE_INTEGER available, total, total_free;

    // a failed probe reads as "nothing free", should a caller look anyway
    *free_bytes = 0;

    // the basic query must succeed even when the extended one gives the figure
    if (!get_free_basic(NULL, &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                        &total_clusters)) {
        run_context.last_error = GetLastError();
        return report_probe_failure("GetDiskFreeSpace(): ");
    }
    unsigned long long cluster_bytes = (unsigned long long)sectors_per_cluster * bytes_per_sector;
    *free_bytes = cluster_bytes * free_clusters;
    probe_cluster_bytes = cluster_bytes;
    probe_volume_bytes = cluster_bytes * total_clusters;
    probe_volume_free = *free_bytes;
    if (!get_free_ex)
        return 0;

    if (!get_free_ex(probe_path, &available, &total, &total_free)) {
        run_context.last_error = GetLastError();
        *free_bytes = 0;
        return report_probe_failure("GetDiskFreeSpaceEx(): ");
    }
    // the caller's share, not the volume's: quotas stop the fill where the user must
    *free_bytes = available.QuadPart;
    // the larger of the two answers: a quota makes the extended total the user's
    if (total.QuadPart > probe_volume_bytes)
        probe_volume_bytes = total.QuadPart;
    probe_volume_free = total_free.QuadPart;
    return 0;
}
