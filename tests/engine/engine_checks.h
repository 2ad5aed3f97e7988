// Pieces shared by the engine's test programs: the run's state around one
// pass, the user's files beside the work folder, and a reader that checks
// every byte of the work files a pass left.
#ifndef VANTA_TESTS_ENGINE_CHECKS_H
#define VANTA_TESTS_ENGINE_CHECKS_H

#include <windows.h>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>
#include "engine/wipe_engine.h"
#include "strict_io.h"
#include "test_helpers.h"

#define WORK_FOLDER_NAME "$VANTA$$"

std::string system_text(DWORD code);   // as FormatMessageA gives it
std::string current_directory();

// The sector size VANTA_STRICT_SECTOR names (512 or 4096; ctest runs the
// engine's tables at both), or 0. Every PassScope then holds the engine's
// file calls to Windows' unbuffered rules (strict_io.h) for that sector size,
// and a transfer Windows would refuse fails the test.
DWORD strict_sector();

// The run's transfer buffer, a status window and the abort flag for one test;
// puts the probe's state, the seed clock and the current directory back afterwards.
struct PassScope {
    PassScope();
    ~PassScope();
    HWND owner;
    volatile LONG abort_flag;
    std::string saved_directory;
    SeedClockProc saved_clock;
    FileCalls saved_calls;
};

void clear_volume(const std::string &root);   // everything on the volume of "X:\\"

// The named files of the work folder counted as the run's, as an interrupted
// run's journal vouches for them (a pass reads, cuts and deletes only the
// run's files); false when one can't be.
bool vouch(const std::string &work, const std::vector<std::string> &names);
// The names in the held work folder, sorted (Wine lists a folder by its path
// only where no handle without FILE_SHARE_DELETE holds it).
std::vector<std::string> held_names();

// A pass's run state on a bench volume emptied but for a work folder.
struct PassBench : ::testing::Test {
    PassScope scope;
    ScriptedBoxes boxes;
    std::string root, work;
    void use(const char *volume)
    {
        ASSERT_FALSE((root = volume_root(volume)).empty()) << "no volume " << volume << " on this bench";
        clear_volume(root);
        ASSERT_TRUE(CreateDirectoryA((work = root + WORK_FOLDER_NAME).c_str(), NULL));
        SetWindowTextA(GetDlgItem(scope.owner, 146), "before");
    }
    void TearDown() override { if (!root.empty()) clear_volume(root); }
    int verify(const char *word) { return verify_step(scope.owner, 146, 147, &scope.abort_flag, word, work.c_str()); }
};

// A user's files and folders, what a wipe must never touch; name, attributes,
// size, a file's write time and a digest of each (the work folder left out).
void plant_user_files(const std::string &root);
std::map<std::string, std::string> digest_tree(const std::string &root);

// One file outside any work folder takes all the volume's free space; false when it can't be made.
bool fill_volume_outside(const std::string &file);

// The work files a pass left, numbered from 1, each byte checked against
// pattern[offset % 512]; problem is empty when all is well.
struct WorkFiles { std::vector<std::string> names; std::vector<unsigned long long> sizes; unsigned long long total = 0; std::string problem; };
WorkFiles check_work_files(const std::string &folder, const unsigned char pattern[512]);

// The 512-byte pattern block of a byte list (a single byte: a list of one).
inline std::vector<unsigned char> block_of_list(const std::vector<unsigned char> &values)
{
    std::vector<unsigned char> block(512);
    for (size_t k = 0; k < block.size(); ++k)
        block[k] = values[k % values.size()];
    return block;
}
inline std::vector<unsigned char> block_of(unsigned char value) { return std::vector<unsigned char>(512, value); }

#endif
