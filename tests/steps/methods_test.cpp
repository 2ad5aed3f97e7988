// The settings file beside this test program (vanta.exe reads vanta.ini), then
// the erase methods shipped beside vanta.exe as the build leaves them (code page
// 932, CR LF): their names in both languages, and every step script run whole
// by the real runner on a real volume (tmpfs P:).
#include <gtest/gtest.h>
#include "control_log.h"
#include "engine/engine_checks.h"
#include "steps/step_runner.h"
#include "support/messages.h"

static void settings(const std::string &text)   // "" removes the file
{
    std::string ini = own_path().substr(0, own_path().size() - 3) + "ini";
    DeleteFileA(ini.c_str());
    ASSERT_TRUE(text.empty() || write_file(ini, text)) << ini;
}

// The same text in other encodings: UTF-8, UTF-16 with a byte-order mark.
static std::string utf8(const std::string &ansi)
{
    std::wstring wide(ansi.size(), L'\0');
    wide.resize(MultiByteToWideChar(932, 0, ansi.data(), (int)ansi.size(), &wide[0], (int)wide.size()));
    std::string bytes(wide.size() * 3, '\0');
    bytes.resize(WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &bytes[0], (int)bytes.size(), NULL, NULL));
    return bytes;
}
static std::string utf16(const std::wstring &wide, bool big_endian = false)
{
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (wchar_t unit : wide)
        bytes += big_endian ? std::string{(char)(unit >> 8), (char)unit} : std::string{(char)unit, (char)(unit >> 8)};
    return bytes;
}

TEST(SettingsFile, MethodsFollowMaxnumberInWhateverEncodingNotepadSavedThem)
{
    const std::string n300(300, 'n'), e, names = "[mode]\r\nmaxnumber=2\r\n0=完全消去（ゼロ）\r\n1=表示ソフト\r\n2=能力１０回\r\n";
    const std::vector<std::string> named = {"完全消去（ゼロ）", "\x95\x5c\x8e\xa6\x83\x5c\x83\x74\x83\x67", "能力１０回"};
    // a script for method 6 alone: "Method N" comes with its steps
    const std::string stem = own_path().substr(0, own_path().size() - 4), script = stem + "6.run";
    for (int n = 0; n <= 9; ++n)
        DeleteFileA((stem + std::to_string(n) + ".run").c_str());
    ASSERT_TRUE(write_file(script, "2\r\nerase random  \r\nverify\r\n"));
    load_texts(GetModuleHandleA(NULL));
    const struct { const char *name; int language; std::string settings; std::vector<std::string> names; int note = 0; } rows[] = {
        {"in index order", LANGUAGE_JAPANESE, "[mode]\r\nmaxnumber=3\r\n3=four\r\n1=two\r\n0=one\r\n2=three\r\n", {"one", "two", "three", "four"}},
        {"at most 9", LANGUAGE_JAPANESE, "[mode]\r\nmaxnumber=12\r\n9=nine\r\n10=ten\r\n", {e, e, e, e, e, e, e, e, e, "nine"}},
        {"no names", LANGUAGE_JAPANESE, "[mode]\r\nmaxnumber=10\r\n", std::vector<std::string>(10)},
        {"none", LANGUAGE_JAPANESE, "[mode]\r\nmaxnumber=-1\r\n0=zero\r\n", {}},
        {"a number as atoi reads it", LANGUAGE_JAPANESE, "[mode]\r\nmaxnumber=2 methods\r\n0=first\r\n2=third\r\n", {"first", e, "third"}},
        {"no number", LANGUAGE_JAPANESE, "[mode]\r\nmaxnumber=none\r\n0=only\r\n1=two\r\n", {"only"}},
        {"another section", LANGUAGE_JAPANESE, "[other]\r\nmaxnumber=5\r\n", {e}},
        {"no file", LANGUAGE_JAPANESE, "", {e}},
        {"a long name, cut", LANGUAGE_JAPANESE, "[mode]\r\n0=" + n300 + "\r\n", {n300.substr(0, 255)}},
        // second bytes 0x5C: 表 is 95 5C, ソ 83 5C, 能 94 5C
        {"code page 932, byte for byte", LANGUAGE_JAPANESE, names, named},
        {"UTF-8 without a byte-order mark (Notepad)", LANGUAGE_JAPANESE, utf8(names), named},
        {"UTF-8 with a byte-order mark", LANGUAGE_JAPANESE, "\xEF\xBB\xBF" + utf8(names), named},
        {"UTF-16 with a byte-order mark", LANGUAGE_JAPANESE,
         utf16(L"[mode]\r\nmaxnumber=2\r\n0=\x5B8C\x5168\x6D88\x53BB\xFF08\x30BC\x30ED\xFF09\r\n1=\x8868\x793A\x30BD\x30D5\x30C8\r\n"
               L"2=\x80FD\x529B\xFF11\xFF10\x56DE\r\n"), named},
        {"UTF-16, big-endian", LANGUAGE_JAPANESE, utf16(L"[mode]\r\nmaxnumber=0\r\n0=\x8868\r\n", true), {"表"}},
        // C3 A9: "ﾃｩ" in code page 932, "é" in UTF-8; code page 932 has no "é"
        {"valid both ways: code page 932's reading, byte for byte", LANGUAGE_JAPANESE, "[mode]\r\nmaxnumber=0\r\n0=\xC3\xA9\r\n", {"\xC3\xA9"}},
        // UTF-8 "é✓" is no code page 932 either (93 0D is no character)
        {"UTF-8 that code page 932 can't show: the method's number and steps", LANGUAGE_JAPANESE,
         "[mode]\r\nmaxnumber=6\r\n0=zeros\r\n6=caf\xC3\xA9\xE2\x9C\x93\r\n", {"zeros", e, e, e, e, e, "消去方法 6: erase random / verify"}, 4},
        {"UTF-16 that code page 932 can't show, no script", LANGUAGE_JAPANESE, utf16(L"[mode]\r\n0=caf\xE9\r\n0.en=x\r\n"), {"消去方法 0"}, 2},
        {"sections and keys in any case, comments, blanks and quotes", LANGUAGE_JAPANESE,
         "; 0=no\r\n[ MODE ]\r\n MaxNumber = 3 \r\n;0=commented\r\n0 =  \"quoted\" \r\n  1\t=\tone\t\r\n2='single'\r\n"
         "3=\"open\r\n[other]\r\n3=not this\r\n", {"quoted", "one", "single", "\"open"}},
        {"the first of two", LANGUAGE_JAPANESE, "[mode]\r\nmaxnumber=0\r\n0=first\r\n0=second\r\n[mode]\r\n0=third\r\n", {"first"}},
        {"a Japanese run leaves the English names", LANGUAGE_JAPANESE, "[mode]\r\nmaxnumber=1\r\n0=ゼロ\r\n0.en=Zeros\r\n", {"ゼロ", e}},
        {"English names where the file has them, the method's number and steps elsewhere", LANGUAGE_ENGLISH,
         "[mode]\r\nmaxnumber=6\r\n0=ゼロ\r\n0.en=Zeros\r\n2=x\r\n2.EN=  Two \r\n6=乱数\r\n",
         {"Zeros", "Method 1", "Two", "Method 3", "Method 4", "Method 5", "Method 6: erase random / verify"}},
        {"an English run of a file without English names", LANGUAGE_ENGLISH, "[mode]\r\nmaxnumber=1\r\n0=ゼロ\r\n", {"ゼロ", e}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        settings(r.settings);
        program_language = r.language, method_name_note[0] = 0;
        std::vector<std::string> names;
        for (int i = 0; i <= highest_method_index(); ++i)
            names.push_back(method_name(i));
        EXPECT_EQ(r.names, names);
        char note[STATUS_TEXT_SIZE] = "";
        if (r.note)
            snprintf(note, sizeof note, program_text(IDS_LINE_NOT_SHOWN), (own_path().substr(0, own_path().size() - 3) + "ini").c_str(), r.note);
        EXPECT_EQ(std::string(note), method_name_note) << "the file and line of a name this Windows can't show";
    }
    program_language = LANGUAGE_JAPANESE;
    DeleteFileA(script.c_str());
    settings("");
}

// Exactly "1" in its own section picks the newer style, read at the first use only.
TEST(SettingsFile, PickerStyleIsNewOnlyForExactlyOneAndReadOnce)
{
    const char *picker = "SHBrowseForFolder", *cases[][3] = {{picker, "1", "new"}, {picker, "yes", ""}, {picker, "01", ""},
                                                             {picker, "\" 1\"", ""}, {picker, "", ""}, {"mode", "1", ""}};
    for (auto &c : cases) {
        use_new_browse_dialog = 2;
        settings(std::string("[") + c[0] + "]\r\nBIF_NEWDIALOGSTYLE=" + c[1] + "\r\n");
        EXPECT_EQ(*c[2] ? 1 : 0, new_browse_dialog()) << c[0] << "/" << c[1];
        settings(std::string("[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=") + (*c[2] ? "0" : "1") + "\r\n");
        EXPECT_EQ(*c[2] ? 1 : 0, new_browse_dialog()) << "changed after the first use";
    }
    use_new_browse_dialog = 2, settings("");
}

namespace {

// verified: the byte the last verify expects, or the one its pass chose
enum { NO_VERIFY = -1, ITS_OWN_BYTE = 256 };
struct Method { const char *name, *english; std::vector<std::string> lines; int verified; };

// Gutmann's 35 passes: 4 random, his 27 fixed patterns, 4 random.
std::vector<std::string> gutmann()
{
    std::vector<std::string> lines(4, "erase random");
    for (const char *bytes : {"0x55", "0xaa", "0x92,0x49,0x24", "0x49,0x24,0x92", "0x24,0x92,0x49", "0x00", "0x11", "0x22", "0x33",
                              "0x44", "0x55", "0x66", "0x77", "0x88", "0x99", "0xaa", "0xbb", "0xcc", "0xdd", "0xee", "0xff",
                              "0x92,0x49,0x24", "0x49,0x24,0x92", "0x24,0x92,0x49", "0x6d,0xb6,0xdb", "0xb6,0xdb,0x6d", "0xdb,0x6d,0xb6"})
        lines.push_back(std::string("erase ") + bytes);
    return lines.insert(lines.end(), 4, "erase random"), lines;
}

// The name of method 1 holds 十, whose trail byte is 0x5C.
const std::vector<Method> METHODS = {
    {"ゼロで1回上書き", "Zeros, one pass", {"erase"}, NO_VERIFY},
    {"乱数で1回上書き（通常はこれで十分）", "Random data, one pass (usually enough)", {"erase random"}, NO_VERIFY},
    {"ゼロで1回上書きして検証", "Zeros, one pass, verified", {"erase,verify 0"}, 0x00},
    {"3回上書きして検証（DoD方式）", "3 passes, verified (DoD style)", {"erase 0x55", "erase 0xaa", "erase,verify dod"}, ITS_OWN_BYTE},
    {"35回上書き（グートマン方式）", "35 passes (Gutmann)", gutmann(), NO_VERIFY},
};

// The least free space the fill pass's probe saw during each step.
std::vector<unsigned long long> lowest_free;
ControlLog *step_log;

BOOL WINAPI watched_probe(LPCSTR path, PULARGE_INTEGER free, PULARGE_INTEGER total, PULARGE_INTEGER total_free)
{
    BOOL ok = GetDiskFreeSpaceExA(path, free, total, total_free);
    unsigned long long &lowest = lowest_free.at(step_log->texts.size() - 1);
    lowest = ok && free->QuadPart < lowest ? free->QuadPart : lowest;
    return ok;
}

// The build's shipped files beside this program, named as vanta.exe finds its own.
void ship_methods()
{
    std::string stem = own_path().substr(0, own_path().size() - 4), built = stem.substr(0, stem.rfind('\\')) + "\\..\\..\\ui\\vanta";
    for (std::string end : {".ini", "0.run", "1.run", "2.run", "3.run", "4.run"})
        ASSERT_TRUE(CopyFileA((built + end).c_str(), (stem + end).c_str(), FALSE)) << built + end;
}

} // namespace

TEST(ShippedSettings, NameEveryMethodByteExactInCodePage932AndInEnglish)
{
    ASSERT_NO_FATAL_FAILURE(ship_methods());
    ASSERT_EQ((int)METHODS.size() - 1, highest_method_index());
    for (size_t i = 0; i < METHODS.size(); ++i) {
        EXPECT_STREQ(METHODS[i].name, method_name((int)i)) << "method " << i;
        program_language = LANGUAGE_ENGLISH;
        EXPECT_STREQ(METHODS[i].english, method_name((int)i)) << "method " << i;
        program_language = LANGUAGE_JAPANESE;
    }
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
        clear_volume(root), plant_user_files(root);
        auto user_before = digest_tree(root);
        unsigned long long free_before = free_bytes_of(root);
        const char *text = "";
        ASSERT_EQ(0, prepare_work_folder_path(window, root.c_str(), &text));
        std::string work = work_folder_path, first = work + "\\00000001", at_verify = "no verify";
        lowest_free.assign(method.lines.size(), ~0ull);
        get_free_ex = watched_probe, get_free_ex_ready = 1;
        status.on_text = [&](const std::string &text) {
            std::string bytes;
            if (text != "verify" || !read_file(first, &bytes) || bytes.size() < 5000)
                return;
            int value = method.verified == ITS_OWN_BYTE ? (unsigned char)bytes[0] : method.verified;
            at_verify = check_work_files(work, block_of((unsigned char)value).data()).problem;
            EXPECT_TRUE(write_file_at(first, 4999, std::string(1, (char)~bytes[4999])));
        };

        // a byte changed under a verifying method fails its run
        EXPECT_EQ(method.verified != NO_VERIFY ? 3 : 0, run_steps(window, 146, 147, index, &abort_flag));

        std::vector<std::string> shown;
        for (size_t i = 0; i < method.lines.size(); ++i) {
            shown.push_back("step " + std::to_string(i + 1) + " of " + std::to_string(method.lines.size()) + ": " + method.lines[i]);
            EXPECT_LT(lowest_free[i], 64 * 1024u) << shown[i] << ": the volume never filled";
        }
        EXPECT_EQ(shown, steps.texts);
        EXPECT_EQ(method.verified != NO_VERIFY ? "" : "no verify", at_verify);
        EXPECT_EQ(method.verified != NO_VERIFY ? "Verify error in " + first : "作業ファイルを削除しています...",
                  window_text(window, 146)) << "the changed file alone, still shown at the end";
        EXPECT_TRUE(boxes.shown.empty()) << boxes.shown[0].text;
        EXPECT_EQ(0, remove_work_folder(window, &text)) << text;
        EXPECT_TRUE(GetFileAttributesA(work.c_str()) == INVALID_FILE_ATTRIBUTES && free_before == free_bytes_of(root));
        EXPECT_EQ(user_before, digest_tree(root));
    }
    get_free_ex = NULL;
    clear_volume(root);
    DestroyWindow(window);
}
