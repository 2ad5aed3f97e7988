// The Windows side of the residue proof (slack_residue.sh), one command per
// run, because the volume is unmounted between them:
//
//   plant-small DRIVE COUNT MARKER   small files holding MARKER, deleted again
//   plant-large DRIVE COUNT MARKER   4 MiB files with MARKER in every sector,
//                                    deleted again
//   erase DRIVE STEP                 a one-step method run through run_steps
//                                    on the volume's root; the user's files
//                                    must come through unchanged
//   records IMAGE BYTE               the file records of work files in an NTFS
//                                    image: how many there are, and how many
//                                    hold BYTE over all the room they have
//                                    (all of them must)
//
// Prints what it found; exits 0 when the command did what it should.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <map>
#include <string>
#include <vector>
#include "engine/engine_checks.h"
#include "engine/wipe_engine.h"
#include "steps/step_runner.h"
#include "support/messages.h"
#include "test_helpers.h"
#include "ui/work_folder.h"

namespace {

int WINAPI print_box(HWND, LPCSTR text, LPCSTR, UINT)
{
    printf("box: %s\n", text);
    return IDYES;
}

std::string root_of(const char *drive)
{
    return std::string(drive) + "\\";
}

int plant(const char *drive, int count, const char *marker, bool large)
{
    std::string folder = root_of(drive) + (large ? "large" : "small");
    if (!CreateDirectoryA(folder.c_str(), NULL)) {
        printf("cannot create %s\n", folder.c_str());
        return 1;
    }
    std::string bytes;
    if (large) {
        // the marker in every 512-byte sector: a sector the fill missed shows
        std::string sector(marker);
        sector.resize(512, '-');
        for (int i = 0; i < 8192; ++i)
            bytes += sector;
    }
    for (int i = 0; i < count; ++i) {
        char name[32];
        snprintf(name, sizeof name, "\\file%04d", i);
        if (!large) {
            // a few hundred bytes: NTFS keeps them inside the file's record
            char line[64];
            snprintf(line, sizeof line, "%s %04d ", marker, i);
            bytes = line;
            bytes.resize(300, '.');
        }
        if (!write_file(folder + name, bytes)) {
            printf("cannot write %s%s\n", folder.c_str(), name);
            return 1;
        }
    }
    remove_tree(folder);
    printf("planted and deleted %d %s files\n", count, large ? "large" : "small");
    return 0;
}

std::string own_path()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    return std::string(path, length);
}

int erase(const char *drive, const char *step)
{
    std::string root = root_of(drive);
    // the user's files: planted by the first run, compared by every run
    if (GetFileAttributesA((root + "user").c_str()) == INVALID_FILE_ATTRIBUTES)
        plant_user_files(root);
    std::map<std::string, std::string> user_before = digest_tree(root);

    std::string exe = own_path();
    std::string script = exe.substr(0, exe.size() - 4) + "0.run";
    if (!write_file(script, std::string("1\r\n") + step + "\r\n")) {
        printf("cannot write %s\n", script.c_str());
        return 1;
    }
    load_texts(GetModuleHandleA(NULL));
    HWND window = create_status_window(146);
    CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 10, 10, window, (HMENU)147,
                    GetModuleHandleA(NULL), NULL);
    const char *text = "";
    if (prepare_work_folder_path(window, root.c_str(), &text) != 0) {
        printf("work folder: %s\n", text);
        return 1;
    }
    static volatile LONG abort_flag;
    int result = run_steps(window, 146, 147, 0, &abort_flag);
    std::string status = window_text(window, 146);
    remove_work_folder(window, &text);
    DeleteFileA(script.c_str());
    printf("%s: run_steps returned %d, status \"%s\"\n", step, result, status.c_str());

    bool same = digest_tree(root) == user_before;
    if (!same)
        printf("a file outside the work folder changed\n");
    bool clean = GetFileAttributesA((root + WORK_FOLDER_NAME).c_str()) == INVALID_FILE_ATTRIBUTES;
    if (!clean)
        printf("the work folder is still there\n");
    return result == 0 && same && clean ? 0 : 1;
}

// ----------------------------------------------------------- NTFS file records

struct Image {
    FILE *file;
    unsigned cluster_size;
    unsigned record_size;
    std::vector<std::pair<unsigned long long, unsigned long long>> table_runs;  // byte offset, length
};

bool read_at(Image &image, unsigned long long offset, void *bytes, size_t size)
{
    return _fseeki64(image.file, (long long)offset, SEEK_SET) == 0 &&
           fread(bytes, 1, size, image.file) == size;
}

// Puts back the last two bytes of every sector, which the update sequence
// array keeps while the record is on the disk.
bool apply_fixups(unsigned char *record, unsigned size)
{
    unsigned usa_offset = record[4] | record[5] << 8;
    unsigned usa_count = record[6] | record[7] << 8;
    if (usa_offset + 2 * usa_count > size || usa_count * 512 < size)
        return false;
    for (unsigned i = 1; i < usa_count; ++i) {
        record[i * 512 - 2] = record[usa_offset + 2 * i];
        record[i * 512 - 1] = record[usa_offset + 2 * i + 1];
    }
    return true;
}

unsigned get16(const unsigned char *p) { return p[0] | p[1] << 8; }
unsigned get32(const unsigned char *p) { return get16(p) | (unsigned)get16(p + 2) << 16; }

// The attribute of the given type in a record, or null.
const unsigned char *find_attribute(const unsigned char *record, unsigned size, unsigned type)
{
    unsigned at = get16(record + 0x14);
    while (at + 8 <= size) {
        unsigned found = get32(record + at);
        unsigned length = get32(record + at + 4);
        if (found == 0xFFFFFFFF || length == 0 || at + length > size)
            return NULL;
        if (found == type)
            return record + at;
        at += length;
    }
    return NULL;
}

bool open_image(Image &image, const char *path)
{
    image.file = fopen(path, "rb");
    unsigned char boot[512];
    if (!image.file || !read_at(image, 0, boot, sizeof boot) || memcmp(boot + 3, "NTFS", 4) != 0)
        return false;
    image.cluster_size = get16(boot + 11) * boot[13];
    signed char per_record = (signed char)boot[0x40];
    image.record_size = per_record > 0 ? per_record * image.cluster_size : 1u << -per_record;
    unsigned long long table_start = (unsigned long long)get32(boot + 0x30) * image.cluster_size;

    // record 0 is the table itself: its data runs say where every record lies
    std::vector<unsigned char> record(image.record_size);
    if (!read_at(image, table_start, record.data(), record.size()) ||
        !apply_fixups(record.data(), image.record_size))
        return false;
    const unsigned char *data = find_attribute(record.data(), image.record_size, 0x80);
    if (!data || data[8] == 0)
        return false;
    const unsigned char *run = data + get16(data + 0x20);
    long long lcn = 0;
    while (*run) {
        int length_bytes = *run & 15, offset_bytes = *run >> 4;
        unsigned long long length = 0;
        long long delta = 0;
        for (int i = 0; i < length_bytes; ++i)
            length |= (unsigned long long)run[1 + i] << 8 * i;
        for (int i = 0; i < offset_bytes; ++i)
            delta |= (long long)run[1 + length_bytes + i] << 8 * i;
        if (offset_bytes && (run[length_bytes + offset_bytes] & 0x80))
            delta -= 1ll << 8 * offset_bytes;
        lcn += delta;
        image.table_runs.push_back({ (unsigned long long)lcn * image.cluster_size,
                                     length * image.cluster_size });
        run += 1 + length_bytes + offset_bytes;
    }
    return true;
}

bool is_work_file_name(const unsigned char *file_name)
{
    unsigned length = file_name[64];
    if (length != 8)
        return false;
    for (unsigned i = 0; i < length; ++i)
        if (file_name[66 + 2 * i] < '0' || file_name[66 + 2 * i] > '9' || file_name[67 + 2 * i])
            return false;
    return true;
}

int records(const char *path, int byte)
{
    Image image = {};
    if (!open_image(image, path)) {
        printf("%s: not an NTFS image\n", path);
        return 1;
    }
    unsigned work_records = 0, full_slack = 0, shortest = ~0u;
    std::vector<unsigned char> record(image.record_size);
    for (const auto &extent : image.table_runs) {
        for (unsigned long long at = 0; at + image.record_size <= extent.second;
             at += image.record_size) {
            if (!read_at(image, extent.first + at, record.data(), record.size()) ||
                memcmp(record.data(), "FILE", 4) != 0 ||
                !apply_fixups(record.data(), image.record_size))
                continue;
            const unsigned char *name = find_attribute(record.data(), image.record_size, 0x30);
            const unsigned char *data = find_attribute(record.data(), image.record_size, 0x80);
            // a small work file: resident data, cut to nothing
            if (!name || !data || data[8] != 0 || get32(data + 0x10) != 0 ||
                !is_work_file_name(name + get16(name + 0x14)))
                continue;
            ++work_records;
            // its bytes went where the data attribute's value was and ran to the
            // record's end; the end marker moved onto their first eight
            unsigned in_use = get32(record.data() + 0x18);
            unsigned room = get32(record.data() + 0x1C) - in_use - 8;
            unsigned run = 0;
            while (in_use + run < image.record_size && record[in_use + run] == byte)
                ++run;
            if (run >= room)
                ++full_slack;
            if (run < shortest)
                shortest = run;
        }
    }
    fclose(image.file);
    printf("work-file records %u, holding 0x%02X over all their room %u, shortest run %u\n",
           work_records, byte, full_slack, work_records ? shortest : 0);
    // every small file took the largest size its record had room for
    return work_records > 0 && full_slack == work_records ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    message_box_proc = print_box;
    if (argc == 5 && strcmp(argv[1], "plant-small") == 0)
        return plant(argv[2], atoi(argv[3]), argv[4], false);
    if (argc == 5 && strcmp(argv[1], "plant-large") == 0)
        return plant(argv[2], atoi(argv[3]), argv[4], true);
    if (argc == 4 && strcmp(argv[1], "erase") == 0)
        return erase(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "records") == 0)
        return records(argv[2], (int)strtol(argv[3], NULL, 0));
    fprintf(stderr, "usage: slack_residue_helper plant-small|plant-large|erase|records ...\n");
    return 2;
}
