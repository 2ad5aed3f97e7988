// Pieces shared by the engine's test programs: the run's state around one
// pass, the user's files beside the work folder, and a reader that checks
// every byte of the work files a pass left.
#ifndef VANTA_TESTS_ENGINE_CHECKS_H
#define VANTA_TESTS_ENGINE_CHECKS_H

#include <windows.h>
#include <map>
#include <string>
#include <vector>

#define WORK_FOLDER_NAME "$VANTA$$"

// The system's own text for an error code, as FormatMessageA gives it.
std::string system_text(DWORD code);

// Holds the run's transfer buffer, a status window and the abort flag for
// one test, and puts the probe's state back afterwards.
struct PassScope {
    PassScope();
    ~PassScope();
    HWND owner;
    volatile LONG abort_flag;
    std::string saved_directory;
};

// The current directory, as the system spells it.
std::string current_directory();

// Removes every file and folder on the volume of root ("X:\\").
void clear_volume(const std::string &root);

// A user's files and folders: what a wipe must never touch.
void plant_user_files(const std::string &root);
// Every file and folder under root except the work folder: name, attributes,
// size, write time and a digest of the bytes.
std::map<std::string, std::string> digest_tree(const std::string &root);

// Fills the volume of root with one file outside any work folder until it
// takes no byte more, then cuts the file back so that leave bytes are free
// (rounded by the volume). Returns false when the file can't be made.
bool fill_volume_outside(const std::string &file, unsigned long long leave);

// The work files a pass left: names in order, sizes, and every byte checked
// against pattern[offset % 512]. problem is empty when all is well.
struct WorkFiles {
    std::vector<std::string> names;
    std::vector<unsigned long long> sizes;
    unsigned long long total = 0;
    std::string problem;
};
WorkFiles check_work_files(const std::string &folder, const unsigned char pattern[512]);

// The 512-byte pattern block of a single byte value, or of a byte list.
std::vector<unsigned char> block_of(unsigned char value);
std::vector<unsigned char> block_of_list(const std::vector<unsigned char> &values);

#endif
