// The run's journal on a real volume (tmpfs K:): what is written is read back
// with the files it vouches for, a new one takes the old one's place whole,
// and one that was cut short, changed, sealed by anyone but the run, names
// numbers out of range or belongs to another folder is none.
#include <gtest/gtest.h>
#include "strict_windows.h"
#include "engine/engine_checks.h"
#include "steps/step_runner.h"

static RunJournal a_journal()
{
    RunJournal journal = {};
    journal.folder = work_folder_identity;
    journal.method = 3, journal.script_hash = 0x0123456789ABCDEFull, journal.step = 2, journal.steps = 4;
    snprintf(journal.run_id, sizeof journal.run_id, "%s", "3f2504e0-4f89-41d3-9a0c-0305e82c3301");
    snprintf(journal.started, sizeof journal.started, "%s", "2026-12-07 21:30");
    journal.created = 1, journal.passes = 1, journal.bytes_written = 25165824, journal.bytes_verified = 0;
    return journal;
}

static std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The key the run keeps, as an administrator could read it: hexadecimal.
static std::string stored_key(HKEY hive)
{
    char name[40];
    BYTE key[32];
    DWORD size = sizeof key;
    snprintf(name, sizeof name, "%08lx-%016llx", (unsigned long)work_folder_identity.volume, work_folder_identity.index);
    if (RegGetValueA(hive, "Software\\vanta\\Journals", name, RRF_RT_REG_BINARY, NULL, key, &size) != ERROR_SUCCESS)
        return "";
    return std::string((const char *)key, size);
}

// HMAC-SHA-256 of text under key, in hexadecimal: a seal as the run makes it,
// or as someone without the run's key would make one (FNV is no secret).
static std::string seal_of(const std::string &key, const std::string &text)
{
    HCRYPTPROV provider;
    std::string pads[2] = {std::string(64, 0x36), std::string(64, 0x5C)}, inner, hex;
    for (int p = 0; p < 2; ++p)
        for (size_t i = 0; i < key.size(); ++i)
            pads[p][i] ^= key[i];
    CryptAcquireContextA(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    for (const std::string &part : {pads[0] + text, std::string()}) {
        HCRYPTHASH hash;
        BYTE digest[32];
        DWORD length = 32;
        std::string data = inner.empty() ? part : pads[1] + inner;
        CryptCreateHash(provider, 0x800C, 0, 0, &hash);
        CryptHashData(hash, (const BYTE *)data.data(), (DWORD)data.size(), 0);
        CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0), CryptDestroyHash(hash);
        inner.assign((const char *)digest, 32);
    }
    CryptReleaseContext(provider, 0);
    for (unsigned char c : inner)
        hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    return hex;
}

// The journal's text with its lines changed by edit, sealed again under key.
static std::string resealed(const std::string &text, const std::string &key,
                            const std::function<std::string(std::string)> &edit)
{
    std::string body = edit(text.substr(0, text.find("seal=")));
    return body + "seal=" + seal_of(key, body) + "\r\n";
}

static LSTATUS WINAPI refusing_store(int, int, const char *, BYTE *) { return ERROR_ACCESS_DENIED; }

// An empty volume's work folder, made and held as a run's, with no file of
// the run's yet: 0, or why it could not be held.
static DWORD hold_new_work_folder(const std::string &root, const std::string &work)
{
    int made = 0;
    clear_volume(root);
    snprintf(work_folder_path, sizeof work_folder_path, "%s", work.c_str());
    DWORD code = hold_work_folder(&made);
    forget_run_files();
    return code;
}

// A journal's new file as a run killed while making it leaves it: made,
// and its handle never comes back.
static std::string cut_short_name;
static HANDLE WINAPI cut_short_journal(HANDLE folder, LPCWSTR name, DWORD access, DWORD share, DWORD disposition,
                                       DWORD flags)
{
    if (wcsncmp(name, L"vanta.journal.", 14) != 0)
        return create_in_folder(folder, name, access, share, disposition, flags);
    char narrow[MAX_PATH] = "";
    WideCharToMultiByte(CP_ACP, 0, name, -1, narrow, MAX_PATH, NULL, NULL);
    cut_short_name = narrow;
    CloseHandle(create_in_folder(folder, name, FILE_READ_ATTRIBUTES, share, disposition, flags));
    SetLastError(ERROR_OPERATION_ABORTED);
    return INVALID_HANDLE_VALUE;
}

TEST(Journal, WhatIsWrittenIsReadBackAndOneThatFailsItsSealIsNone)
{
    const std::string root = volume_root("steps_tmpfs"), work = root + "$VANTA$$", path = work + "\\" JOURNAL_NAME;
    ASSERT_FALSE(root.empty()) << "no volume steps_tmpfs on this bench";
    ASSERT_EQ(0u, hold_new_work_folder(root, work));
    // what opens the folder's files takes CreateFile's dispositions alone
    for (DWORD disposition : {0ul, 6ul}) {
        SetLastError(0);
        EXPECT_EQ(INVALID_HANDLE_VALUE, create_in_folder(work_folder, L"x", GENERIC_READ, 0, disposition, 0)) << disposition;
        EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError()) << disposition;
    }
    RunJournal journal = a_journal(), read = {};
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, read_journal(&read)) << "no journal yet";
    journal_key_store = refusing_store;
    EXPECT_NE(0u, begin_journal_key(0)) << "a key that can't be kept";
    EXPECT_NE(0u, write_journal(&journal)) << "no journal without a key";
    journal_key_store = NULL;
    // an account that is no administrator, and one whose rights are not in
    // force: the key in its own hive, by its SID, and its own on every run
    // after (a folder the Administrators own included: HKLM is not theirs to write)
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\vanta\\Journals");
    for (StrictToken token : {TOKEN_STANDARD_USER, TOKEN_FILTERED_ADMINISTRATOR}) {
        strict_token = token;
        for (int run = 1; run <= 3; ++run) {
            SCOPED_TRACE("token " + std::to_string(token) + ", run " + std::to_string(run));
            ASSERT_EQ(0u, begin_journal_key(run == 2 ? 1 : 0));
            ASSERT_EQ(0u, write_journal(&journal));
            close_journal();
            RunJournal again = {};
            EXPECT_EQ(0u, read_journal(&again)) << "its key read back";
            delete_journal();
        }
    }
    strict_token = TOKEN_ELEVATED_ADMINISTRATOR;
    EXPECT_EQ(std::vector<std::string>{}, strict_take_refusals());
    ASSERT_EQ(0u, begin_journal_key(0));
    EXPECT_EQ(32u, stored_key(HKEY_CURRENT_USER).size()) << "an account's own folder: the key in its own hive";

    // two files made before the journal, one after it: all three vouched for
    DWORD code = 0;
    work_file_made = journal_note_file;
    for (const char *name : {"00000001", "00000002"})
        CloseHandle(make_work_file(name, GENERIC_WRITE, 0, &code));
    ASSERT_EQ(0u, write_journal(&journal));
    journal.step = 3, journal.passes = 2;
    ASSERT_EQ(0u, write_journal(&journal));
    CloseHandle(make_work_file("00000003", GENERIC_WRITE, 0, &code));
    work_file_made = NULL;
    EXPECT_EQ((std::vector<std::string>{"00000001", "00000002", "00000003", JOURNAL_NAME}), held_names())
        << "a second journal takes the first one's place, and nothing else stays";
    // a third one cut short as its file is made: the journal in place
    // vouches for that file, and the part that goes on deletes it
    journal.passes = 3;   // a journal other than the one in place, with a seal of its own
    file_calls.create = cut_short_journal;
    EXPECT_NE(0u, write_journal(&journal));
    file_calls.create = create_in_folder;
    journal.passes = 2;
    // a file made after the replacement failed: its line, in the journal
    // in place, is proven by that journal's own seal
    work_file_made = journal_note_file;
    CloseHandle(make_work_file("00000004", GENERIC_WRITE, 0, &code));
    work_file_made = NULL;
    EXPECT_EQ((std::vector<std::string>{"00000001", "00000002", "00000003", "00000004", JOURNAL_NAME, cut_short_name}),
              held_names());
    close_journal();
    forget_run_files();
    ASSERT_EQ(0u, read_journal(&read));
    EXPECT_EQ(3, read.method);
    EXPECT_EQ(0x0123456789ABCDEFull, read.script_hash);
    EXPECT_EQ(3, read.step);
    EXPECT_EQ(4, read.steps);
    EXPECT_EQ(std::string(journal.run_id), read.run_id);
    EXPECT_EQ(std::string(journal.started), read.started);
    EXPECT_EQ(1, read.created);
    EXPECT_EQ(2, read.passes);
    EXPECT_EQ(25165824ull, read.bytes_written);
    EXPECT_EQ(5u, list_run_files(NULL, 0)) << "the files it vouches for, the cut-short journal's with them";
    EXPECT_EQ(0, delete_work_files(NULL, 146, 147, NULL, work.c_str()));
    EXPECT_EQ(std::vector<std::string>{JOURNAL_NAME}, held_names()) << "vouched for, and deleted";
    // the part that goes on keeps the run's key and adds to the journal in
    // place: its own first journal, cut short the same way, is vouched for
    const std::string run_key = stored_key(HKEY_CURRENT_USER);
    ASSERT_EQ(0u, go_on_with_journal());
    file_calls.create = cut_short_journal;
    EXPECT_NE(0u, write_journal(&journal));
    file_calls.create = create_in_folder;
    close_journal();
    EXPECT_EQ(run_key, stored_key(HKEY_CURRENT_USER)) << "the key the journal in place is sealed with";
    forget_run_files();
    ASSERT_EQ(0u, read_journal(&read));
    EXPECT_EQ(5u, list_run_files(NULL, 0)) << "the four lines before it, and the second part's cut-short file";
    EXPECT_EQ(0, delete_work_files(NULL, 146, 147, NULL, work.c_str()));
    EXPECT_EQ(std::vector<std::string>{JOURNAL_NAME}, held_names());

    // the journal holds its clusters through the passes, where no fill
    // reaches: they are written whole, zeros after the text
    std::string file, text;
    close_journal();
    ASSERT_TRUE(read_file(path, &file));
    DWORD per_cluster = 0, per_sector = 0, free_clusters, clusters;
    ASSERT_TRUE(GetDiskFreeSpaceA(root.c_str(), &per_cluster, &per_sector, &free_clusters, &clusters));
    EXPECT_EQ(0u, file.size() % (per_cluster * per_sector)) << file.size() << " bytes";
    text = file.substr(0, file.find('\0'));
    EXPECT_EQ(std::string::npos, file.find_first_not_of('\0', text.size())) << "only zeros after the text";
    const std::string key = stored_key(HKEY_CURRENT_USER), header = text.substr(0, text.find("file="));
    const std::string files = text.substr(header.size());
    // a seal that differs only in its last digit: every bit of it is compared
    auto last_digit_changed = [](std::string t, size_t line_end) {
        t[line_end - 1] = t[line_end - 1] == '0' ? '1' : '0';
        return t;
    };
    const size_t header_seal_end = text.find("\r\n", text.find("seal=")), file_seal_end = files.find("\r\n");
    enum { AS_IT_IS, NO_KEY, A_SECOND_NAME };   // the key in the registry; the second cut-short name made a hard link
    const struct { const char *name; std::string text; DWORD result; size_t vouched; int change = AS_IT_IS; } rows[] = {
        // (the new journal files are gone: their lines vouch for nothing now)
        {"as written", text, 0, 4},
        {"a byte changed", replaced(text, "step=3", "step=1"), ERROR_INVALID_DATA, 0},
        {"cut short", text.substr(0, header.size() / 2), ERROR_INVALID_DATA, 0},
        {"cut before its seal", text.substr(0, text.find("seal=")), ERROR_INVALID_DATA, 0},
        {"a line added", replaced(text, "seal=", "extra=1\r\nseal="), ERROR_INVALID_DATA, 0},
        {"empty", "", ERROR_INVALID_DATA, 0},
        // someone without the run's key moves it on: a check anyone can
        // compute again (FNV-1a, a SHA-256) is no seal
        {"sealed without the key", resealed(text, std::string(32, 'k'), [](std::string t) { return replaced(t, "step=3", "step=4"); }),
         ERROR_INVALID_DATA, 0},
        // sealed with the run's own key, and still out of range: nothing wraps
        {"another version's", resealed(text, key, [](std::string t) { return replaced(t, "journal=2", "journal=1"); }),
         ERROR_INVALID_DATA, 0},
        {"a step past its count", resealed(text, key, [](std::string t) { return replaced(t, "step=3", "step=5"); }),
         ERROR_INVALID_DATA, 0},
        {"steps past a 32-bit count", resealed(text, key, [](std::string t) {
             return replaced(replaced(t, "step=3", "step=4294967299"), "steps=4", "steps=4294967299"); }),
         ERROR_INVALID_DATA, 0},
        {"created=2", resealed(text, key, [](std::string t) { return replaced(t, "created=1", "created=2"); }),
         ERROR_INVALID_DATA, 0},
        {"a line missing", resealed(text, key, [](std::string t) { return replaced(t, "passes=2\r\n", ""); }),
         ERROR_INVALID_DATA, 0},
        {"another folder's", resealed(text, key, [](std::string t) { return replaced(t, "folder=", "folder=1"); }),
         ERROR_INVALID_DATA, 0},
        // a file line's own seal binds it to this journal and this file
        {"a file line changed", header + replaced(files, "file=0", "file=1"), 0, 3},
        {"a file line of another journal", resealed(text, key, [](std::string t) { return replaced(t, "passes=2", "passes=3"); }) + files,
         0, 0},
        {"its seal's last digit changed", last_digit_changed(text, header_seal_end), ERROR_INVALID_DATA, 0},
        {"a file line's seal's last digit changed", header + last_digit_changed(files, file_seal_end), 0, 3},
        // proof only with the key the run left: without it, a journal is anyone's
        {"its key gone", text, ERROR_INVALID_DATA, 0, NO_KEY},
        // a vouched name that another file's second name holds is not the run's
        {"a vouched name that is another file's second name", text, 0, 4, A_SECOND_NAME},
    };
    const std::string outside = root + "linked.txt";
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        forget_run_files();
        ASSERT_TRUE(write_file(path, r.text));
        if (r.change == NO_KEY)
            journal_key_store = refusing_store;
        if (r.change == A_SECOND_NAME) {
            ASSERT_TRUE(write_file(outside, "the user's"));
            ASSERT_TRUE(run_unix("ln '" + unix_path(outside) + "' '" + unix_path(work) + "/" + cut_short_name + "'"));
        }
        EXPECT_EQ(r.result, read_journal(&read));
        journal_key_store = NULL;
        EXPECT_EQ(r.vouched, list_run_files(NULL, 0)) << "files vouched for";
        close_journal();
        if (r.change == A_SECOND_NAME) {
            EXPECT_TRUE(DeleteFileA((work + "\\" + cut_short_name).c_str()) && DeleteFileA(outside.c_str()));
        }
    }
    ASSERT_EQ(0u, read_journal(&read));
    delete_journal();
    EXPECT_EQ(std::vector<std::string>{}, held_names());
    EXPECT_EQ("", stored_key(HKEY_CURRENT_USER)) << "the key goes with its journal";
    release_work_folder(), forget_run_files();
    clear_volume(root);
}

// The work folder is made and held in one open, relative to the chosen
// folder, with its own DACL: another account that puts a folder of its own
// in its place the moment it is made (from outside, as Windows would let
// it for a folder others may write in) changes nothing of the folder the
// run holds, and the folder it made is the one that goes.
TEST(WorkFolder, IsMadeAndHeldInOneOpen)
{
    const std::string root = volume_root("steps_tmpfs"), work = root + "$VANTA$$", moved = root + "moved";
    ASSERT_FALSE(root.empty()) << "no volume steps_tmpfs on this bench";
    clear_volume(root);
    snprintf(work_folder_path, sizeof work_folder_path, "%s", work.c_str());
    int swapped = 0;
    strict_folder_made = [&](const std::string &) {
        swapped += run_unix("mv '" + unix_path(work) + "' '" + unix_path(moved) + "' && mkdir '" + unix_path(work) +
                            "' && echo planted >'" + unix_path(work) + "/00000001'");
    };
    int made = 0;
    DWORD code = hold_work_folder(&made);
    strict_folder_made = nullptr;
    ASSERT_EQ(0u, code);
    EXPECT_EQ(1, made);
    EXPECT_EQ(1, swapped) << "the moment the folder was made";
    FolderIdentity made_one, planted;
    ASSERT_EQ(0u, folder_identity_of(moved.c_str(), &made_one));
    ASSERT_EQ(0u, folder_identity_of(work.c_str(), &planted));
    EXPECT_EQ(made_one.index, work_folder_identity.index) << "the folder held is the one made";
    EXPECT_NE(planted.index, work_folder_identity.index) << "the folder put in its place is held";
    // made with the run's own DACL in the same call
    EXPECT_EQ(0u, strict_folder_security(work).find("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;"))
        << strict_folder_security(work);
    release_work_folder();
    EXPECT_EQ(std::vector<std::string>{"00000001"}, list_folder(work)) << "the other one stays as it was";
    clear_volume(root);
}

// On Windows a deleted file keeps its name while another program holds it
// open (the search indexer and scanners open new files as soon as they are
// closed): a new file can't have that name (delete pending), a listing still
// shows it, and its folder is not empty until it goes. Wine lets a pending
// name be opened again and never says a file is pending: the strict layer
// answers as Windows does. The file is the run's own: not named as another's,
// its number passed over, and the folder waits for it a while, then says
// which file kept it.
TEST(WorkFolder, APendingFileIsTheRunsOwnItsNumberPassedOverAndTheFolderWaitsForIt)
{
    load_texts(GetModuleHandleA(NULL));
    const std::string root = volume_root("steps_tmpfs"), work = root + "$VANTA$$";
    ASSERT_FALSE(root.empty()) << "no volume steps_tmpfs on this bench";
    ASSERT_EQ(0u, hold_new_work_folder(root, work));
    DWORD code = 0, written = 0;
    HANDLE file = make_work_file("00000001", GENERIC_WRITE, 0, &code);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_TRUE(WriteFile(file, "work", 4, &written, NULL));
    CloseHandle(file);
    // the indexer's handle, through the layer, which keeps what Windows keeps of it
    HANDLE indexer = win.CreateFileA((work + "\\00000001").c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, indexer);
    EXPECT_EQ(0, delete_work_files(NULL, 146, 147, NULL, work.c_str()));
    EXPECT_EQ(0, foreign_entry_count()) << foreign_entry_names();
    EXPECT_EQ(std::vector<std::string>{"00000001"}, held_names()) << "pending: its name stays while it is held";
    file = make_work_file("00000001", GENERIC_WRITE, 0, &code);
    EXPECT_EQ(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ((DWORD)ERROR_DELETE_PENDING, code) << "a number to pass over, not a failure";
    // a later deletion passes it by, and names nothing
    EXPECT_EQ(0, delete_work_files(NULL, 146, 147, NULL, work.c_str()));
    EXPECT_EQ(0, foreign_entry_count()) << foreign_entry_names();
    // the folder waits for it, then says which file kept it
    unattended = 1, delete_retry_ms = 300, work_folder_created = 1;
    const char *text = "";
    EXPECT_EQ(1, remove_work_folder(NULL, &text));
    EXPECT_EQ(work + "\\00000001 削除したのに、まだ残っています。ほかのプログラムが開いたままか、ボリュームが読み取り専用になっています。\r\n"
                     "フォルダを削除できません。", text);
    EXPECT_EQ(0u, std::string(unattended_texts).find(work + ": ")) << unattended_texts;
    // once it lets go, the file and the folder go
    CloseHandle(indexer);
    snprintf(work_folder_path, sizeof work_folder_path, "%s", work.c_str());
    int made = 0;
    ASSERT_EQ(0u, hold_work_folder(&made));
    EXPECT_EQ(0, made);
    work_folder_created = 1;
    EXPECT_EQ(0, remove_work_folder(NULL, &text));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str()));
    unattended = 0, delete_retry_ms = DELETE_RETRY_MS, unattended_texts[0] = 0;
    forget_run_files();
    clear_volume(root);
}
