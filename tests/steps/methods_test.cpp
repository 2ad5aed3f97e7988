// The erase methods shipped beside vanta.exe, as the build leaves them (code
// page 932, CR LF): their names through the platform's profile reader, and
// every step script run whole by the real runner on a real volume (tmpfs P:).
#include <gtest/gtest.h>
#include "control_log.h"
#include "engine/engine_checks.h"
#include "engine/wipe_engine.h"
#include "steps/step_runner.h"
#include "support/messages.h"
#include "test_helpers.h"
#include "ui/work_folder.h"

namespace {

// verified: the byte the last verify expects, or the one its pass chose
enum { NO_VERIFY = -1, ITS_OWN_BYTE = 256 };
struct Method { const char *name; std::vector<std::string> lines; int verified; };

// Gutmann's 35 passes: 4 random, his 27 fixed patterns, 4 random.
std::vector<std::string> gutmann()
{
    std::vector<std::string> lines(4, "erase random");
    for (const char *bytes : {"0x55", "0xaa", "0x92,0x49,0x24", "0x49,0x24,0x92", "0x24,0x92,0x49",
                              "0x00", "0x11", "0x22", "0x33", "0x44", "0x55", "0x66", "0x77", "0x88",
                              "0x99", "0xaa", "0xbb", "0xcc", "0xdd", "0xee", "0xff", "0x92,0x49,0x24",
                              "0x49,0x24,0x92", "0x24,0x92,0x49", "0x6d,0xb6,0xdb", "0xb6,0xdb,0x6d",
                              "0xdb,0x6d,0xb6"})
        lines.push_back(std::string("erase ") + bytes);
    lines.insert(lines.end(), 4, "erase random");
    return lines;
}

// The name of method 1 holds 十, whose trail byte is 0x5C.
const std::vector<Method> METHODS = {
    {"ゼロで1回上書き", {"erase"}, NO_VERIFY},
    {"乱数で1回上書き（通常はこれで十分）", {"erase random"}, NO_VERIFY},
    {"ゼロで1回上書きして検証", {"erase,verify 0"}, 0x00},
    {"3回上書きして検証（DoD方式）", {"erase 0x55", "erase 0xaa", "erase,verify dod"}, ITS_OWN_BYTE},
    {"35回上書き（グートマン方式）", gutmann(), NO_VERIFY},
};

// The least free space the fill pass's probe saw during each step.
std::vector<unsigned long long> lowest_free;
ControlLog *step_log;

BOOL WINAPI watched_probe(LPCSTR path, PULARGE_INTEGER free, PULARGE_INTEGER total,
                          PULARGE_INTEGER total_free)
{
    BOOL ok = GetDiskFreeSpaceExA(path, free, total, total_free);
    unsigned long long &lowest = lowest_free.at(step_log->texts.size() - 1);
    lowest = ok && free->QuadPart < lowest ? free->QuadPart : lowest;
    return ok;
}

// The build's shipped files beside this program, named as vanta.exe finds its own.
void ship_methods()
{
    char exe[MAX_PATH];
    std::string stem(exe, GetModuleFileNameA(NULL, exe, sizeof exe) - 4);
    std::string built = stem.substr(0, stem.rfind('\\')) + "\\..\\..\\ui\\vanta";
    for (std::string end : {".ini", "0.run", "1.run", "2.run", "3.run", "4.run"})
        ASSERT_TRUE(CopyFileA((built + end).c_str(), (stem + end).c_str(), FALSE)) << built + end;
}

} // namespace

TEST(ShippedSettings, NameEveryMethodByteExactInCodePage932)
{
    ASSERT_NO_FATAL_FAILURE(ship_methods());
    ASSERT_EQ((int)METHODS.size() - 1, highest_method_index());
    for (size_t i = 0; i < METHODS.size(); ++i)
        EXPECT_STREQ(METHODS[i].name, method_name((int)i)) << "method " << i;
    EXPECT_EQ(1, new_browse_dialog());
}

// Each method in turn: every erase fills the volume; a verifying method's files hold its byte
// when the verify begins, and a byte changed then is reported alone; the volume is left as found.
TEST(ShippedMethods, RunEveryPassOnARealVolume)
{
    std::string root = volume_root("methods_tmpfs");
    ASSERT_FALSE(root.empty()) << "no volume methods_tmpfs on this bench";
    ASSERT_NO_FATAL_FAILURE(ship_methods());
    load_texts(GetModuleHandleA(NULL));
    HWND window = create_run_window();
    ScriptedBoxes boxes;
    volatile LONG abort_flag = 0;
    for (int index = 0; index < (int)METHODS.size(); ++index) {
        const Method &method = METHODS[index];
        ControlLog status{window, 146}, steps{window, 147};
        step_log = &steps;
        SCOPED_TRACE(method.lines.back());
        clear_volume(root);
        plant_user_files(root);
        auto user_before = digest_tree(root);
        unsigned long long free_before = free_bytes_of(root);
        const char *text = "";
        ASSERT_EQ(0, prepare_work_folder_path(window, root.c_str(), &text));
        std::string work = work_folder_path, first = work + "\\00000001", at_verify = "no verify";
        lowest_free.assign(method.lines.size(), ~0ull);
        get_free_ex = watched_probe;
        get_free_ex_ready = 1;
        status.on_text = [&](const std::string &text) {
            std::string bytes;
            if (text != "verify" || !read_file(first, &bytes) || bytes.size() < 5000)
                return;
            int value = method.verified == ITS_OWN_BYTE ? (unsigned char)bytes[0] : method.verified;
            at_verify = check_work_files(work, block_of((unsigned char)value).data()).problem;
            EXPECT_TRUE(write_file_at(first, 4999, std::string(1, (char)~bytes[4999])));
        };

        EXPECT_EQ(0, run_steps(window, 146, 147, index, &abort_flag));

        std::vector<std::string> shown;
        for (size_t i = 0; i < method.lines.size(); ++i) {
            shown.push_back("step " + std::to_string(i + 1) + " of " +
                            std::to_string(method.lines.size()) + ": " + method.lines[i]);
            EXPECT_LT(lowest_free[i], 64 * 1024u) << shown[i] << ": the volume never filled";
        }
        EXPECT_EQ(shown, steps.texts);
        EXPECT_EQ(method.verified != NO_VERIFY ? "" : "no verify", at_verify);
        EXPECT_EQ(method.verified != NO_VERIFY, status.count_starting("Verify error in "));
        EXPECT_EQ(method.verified != NO_VERIFY, status.saw("Verify error in " + first));
        EXPECT_TRUE(boxes.shown.empty()) << boxes.shown[0].text;
        EXPECT_EQ(0, remove_work_folder(window, &text)) << text;
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str()));
        EXPECT_EQ(free_before, free_bytes_of(root));
        EXPECT_EQ(user_before, digest_tree(root));
    }
    get_free_ex = NULL;
    clear_volume(root);
    DestroyWindow(window);
}
