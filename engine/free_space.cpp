// Free-space probe: how many bytes the fill pass may still write.
#include <stdio.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

GetDiskFreeSpaceExProc get_free_ex;
int get_free_ex_ready;
GetDiskFreeSpaceProc get_free_basic = GetDiskFreeSpaceA;
char probe_path[MAX_PATH];
char probe_root[MAX_PATH];
DWORD probe_sector_bytes = MIN_WRITE_BYTES;
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

DWORD volume_root_of(const char *path, char *root)
{
    // a volume mounted in a folder has that folder as its root: the queries
    // must name it, or they answer for the drive around it
    if (!GetVolumePathNameA(path, root, MAX_PATH)) {
        DWORD code = GetLastError();
        root[0] = 0;
        return code ? code : ERROR_INVALID_NAME;
    }
    // the queries want the trailing separator (Wine leaves it off a mount
    // point); a 0x5C trail byte is part of its character, not a separator
    size_t length = strlen(root), last = 0;
    for (size_t i = 0; i < length; ++i) {
        last = i;
        if (IsDBCSLeadByte((BYTE)root[i]) && i + 1 < length)
            ++i;
    }
    if (length == 0 || root[last] != '\\') {
        if (length + 2 > MAX_PATH) {
            root[0] = 0;
            return ERROR_FILENAME_EXCED_RANGE;
        }
        root[length] = '\\', root[length + 1] = 0;
    }
    return 0;
}

DWORD flush_volume_of(const char *folder)
{
    char root[MAX_PATH], device[MAX_PATH];
    DWORD code = volume_root_of(folder, root);
    if (code)
        return code;
    // a drive by its letter, a volume mounted in a folder by its name; either
    // way the volume itself, not its root folder
    if (is_ascii_alpha((unsigned char)root[0]) && root[1] == ':' && root[2] == '\\' && root[3] == 0) {
        snprintf(device, sizeof device, "\\\\.\\%c:", root[0]);
    } else if (GetVolumeNameForVolumeMountPointA(root, device, sizeof device)) {
        size_t length = strlen(device);
        if (length && device[length - 1] == '\\')
            device[length - 1] = 0;
    } else {
        return GetLastError() ? GetLastError() : ERROR_INVALID_NAME;
    }
    HANDLE volume = win.CreateFileA(device, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (volume == INVALID_HANDLE_VALUE)
        return GetLastError() ? GetLastError() : ERROR_ACCESS_DENIED;
    code = win.FlushFileBuffers(volume) ? 0 : GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    win.CloseHandle(volume);
    return code;
}

// A sector size that is no power of two from 512 to the buffer's size is
// no sector size: the smallest one serves.
static DWORD usable_sector(DWORD bytes_per_sector)
{
    int power_of_two = bytes_per_sector && !(bytes_per_sector & (bytes_per_sector - 1));
    return power_of_two && bytes_per_sector >= MIN_WRITE_BYTES && bytes_per_sector <= TRANSFER_SIZE
               ? bytes_per_sector : MIN_WRITE_BYTES;
}

DWORD volume_sector_bytes(const char *folder)
{
    char root[MAX_PATH];
    DWORD sectors_per_cluster, bytes_per_sector = 0, free_clusters, total_clusters;
    if (volume_root_of(folder, root) != 0 ||
        !get_free_basic(root, &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                        &total_clusters))
        return MIN_WRITE_BYTES;
    return usable_sector(bytes_per_sector);
}

void prepare_probe(const char *folder)
{
    snprintf(probe_path, sizeof probe_path, "%s", folder);
    volume_root_of(folder, probe_root);
    probe_sector_bytes = MIN_WRITE_BYTES;
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
    if (!get_free_basic(probe_root[0] ? probe_root : probe_path, &sectors_per_cluster, &bytes_per_sector,
                        &free_clusters, &total_clusters)) {
        run_context.last_error = GetLastError();
        return report_probe_failure("GetDiskFreeSpace(): ");
    }
    unsigned long long cluster_bytes = (unsigned long long)sectors_per_cluster * bytes_per_sector;
    *free_bytes = cluster_bytes * free_clusters;
    probe_cluster_bytes = cluster_bytes;
    probe_sector_bytes = usable_sector(bytes_per_sector);
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
