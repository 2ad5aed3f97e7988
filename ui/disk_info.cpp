// The disk beneath a volume, for the run's record: its bus, its maker's
// names, its serial number, and whether it is solid-state and takes TRIM. An
// auditor needs them to judge what a free-space erase reached: a solid-state
// disk keeps spare blocks that no write through the file system reaches.
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include "ui/dialog.h"
#include "support/system_calls.h"
#include <winioctl.h>

DiskIoControlProc disk_io_control = DeviceIoControl;

// The device descriptor, its raw properties and its texts fit in this.
#define DESCRIPTOR_SIZE 4096

// STORAGE_BUS_TYPE by number: the headers for Windows XP name only the first nine.
static const char *const BUS_NAMES[] = {
    "", "SCSI", "ATAPI", "ATA", "1394", "SSA", "Fibre Channel", "USB", "RAID", "iSCSI",
    "SAS", "SATA", "SD", "MMC", "Virtual", "File-backed virtual", "Storage Spaces", "NVMe",
    "SCM", "UFS"};

static int query_property(HANDLE device, int property, void *answer, DWORD size, DWORD *returned)
{
    STORAGE_PROPERTY_QUERY query;
    memset(&query, 0, sizeof query);
    query.PropertyId = (STORAGE_PROPERTY_ID)property;
    query.QueryType = PropertyStandardQuery;
    *returned = 0;
    return disk_io_control(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, answer, size,
                           returned, NULL) != 0;
}

// The descriptor's text at offset (0: none), without the blanks that pad it;
// a byte no text of a disk holds becomes '?', so that the field stays one
// readable line.
static void descriptor_text(char *text, size_t size, const BYTE *descriptor, DWORD returned, DWORD offset)
{
    text[0] = 0;
    if (offset == 0 || offset >= returned)
        return;
    const char *from = (const char *)descriptor + offset;
    size_t length = 0;
    while (offset + length < returned && from[length])
        ++length;
    while (length && from[0] == ' ')
        ++from, --length;
    while (length && from[length - 1] == ' ')
        --length;
    if (length >= size)
        length = size - 1;
    for (size_t i = 0; i < length; ++i)
        text[i] = (unsigned char)from[i] >= 0x20 && (unsigned char)from[i] < 0x7F ? from[i] : '?';
    text[length] = 0;
}

// A property answered with one BOOLEAN (seek penalty, TRIM): "yes" when it
// equals yes_when, "no", or empty when the system has no answer (Windows
// before 7 does not know these properties).
static void yes_or_no(char *text, HANDLE device, int property, BOOLEAN yes_when)
{
    DEVICE_TRIM_DESCRIPTOR answer;   // the seek penalty's descriptor has the same form
    DWORD returned;
    text[0] = 0;
    memset(&answer, 0, sizeof answer);
    if (!query_property(device, property, &answer, sizeof answer, &returned) ||
        returned < offsetof(DEVICE_TRIM_DESCRIPTOR, TrimEnabled) + 1)
        return;
    strcpy(text, (answer.TrimEnabled != 0) == (yes_when != 0) ? "yes" : "no");
}

void query_disk(const char *root, DiskInfo *disk)
{
    char device[MAX_PATH];
    static BYTE descriptor[DESCRIPTOR_SIZE];
    DWORD returned;

    memset(disk, 0, sizeof *disk);
    // the volume's own device (its name without the trailing separator), or
    // the drive letter's where the system has no volume name for it
    if (GetVolumeNameForVolumeMountPointA(root, device, sizeof device)) {
        size_t length = strlen(device);
        if (length && device[length - 1] == '\\')
            device[length - 1] = 0;
    } else if (is_ascii_alpha((unsigned char)root[0]) && root[1] == ':') {
        snprintf(device, sizeof device, "\\\\.\\%c:", root[0]);
    } else {
        return;
    }
    // no access rights: the property queries need none, and a user who is no
    // administrator may open a volume so
    HANDLE handle = win.CreateFileA(device, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    memset(descriptor, 0, sizeof descriptor);
    if (query_property(handle, StorageDeviceProperty, descriptor, sizeof descriptor, &returned) &&
        returned >= offsetof(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength)) {
        const STORAGE_DEVICE_DESCRIPTOR *described = (const STORAGE_DEVICE_DESCRIPTOR *)descriptor;
        unsigned bus = (unsigned)described->BusType;
        // a bus newer than this program is named by its number
        if (bus < sizeof BUS_NAMES / sizeof BUS_NAMES[0])
            snprintf(disk->bus, sizeof disk->bus, "%s", BUS_NAMES[bus]);
        else
            snprintf(disk->bus, sizeof disk->bus, "%u", bus);
        descriptor_text(disk->vendor, sizeof disk->vendor, descriptor, returned, described->VendorIdOffset);
        descriptor_text(disk->model, sizeof disk->model, descriptor, returned, described->ProductIdOffset);
        descriptor_text(disk->serial, sizeof disk->serial, descriptor, returned, described->SerialNumberOffset);
    }
    // no seek penalty is what makes a disk solid-state to Windows
    yes_or_no(disk->solid_state, handle, StorageDeviceSeekPenaltyProperty, FALSE);
    yes_or_no(disk->trim, handle, StorageDeviceTrimProperty, TRUE);
    win.CloseHandle(handle);
}
