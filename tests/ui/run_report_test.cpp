// The run's record as a fleet and an auditor rely on it: fields no
// spreadsheet runs, a switch given twice, a report another program holds,
// the disk beneath, and no box of the system's own during a run.
#include <regex>
#include <set>
#include "dialog_bench.h"
#include "strict_windows.h"
#include <sddl.h>
#include <winioctl.h>

TEST(RunReport, AFieldIsQuotedItsQuotesDoubledAndNoSpreadsheetRunsIt)
{
    const struct { const char *text, *field; } rows[] = {
        {"@SUM(1)", "\"'@SUM(1)\""}, {"=1+1", "\"'=1+1\""}, {"+81 3", "\"'+81 3\""}, {"-2", "\"'-2\""},
        {"\tx", "\"'\tx\""}, {"\rx", "\"'\rx\""}, {"'x", "\"''x\""},   // one apostrophe always comes off again
        {"a=b-c", "\"a=b-c\""}, {"表=1", "\"表=1\""}, {"", "\"\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""}};
    for (const auto &r : rows) {
        char line[REPORT_LINE_SIZE] = "";
        add_report_field(line, r.text), add_report_field(line, r.text);
        EXPECT_EQ(r.field + std::string(",") + r.field, line) << r.text;
    }
}

// The dialog's bench with a report in a folder of the test's own, the
// program ending with its exit code (/exit), the account's temporary folder
// in it too (TMP), every seam Win32's own after.
class ReportBench : public DialogBench {
protected:
    std::string scratch = current_directory() + "\\report_bench", report = scratch + "\\report.csv",
                temp = scratch + "\\temp", temp_before;
    void SetUp() override
    {
        DialogBench::SetUp();
        remove_tree(scratch), CreateDirectoryA(scratch.c_str(), NULL), CreateDirectoryA(temp.c_str(), NULL);
        char before[MAX_PATH] = "";
        GetEnvironmentVariableA("TMP", before, sizeof before), temp_before = before;
        SetEnvironmentVariableA("TMP", temp.c_str());
        command_line = CommandLine{}, command_line.method = -1, command_line.exit_when_done = 1;
        snprintf(command_line.report, sizeof command_line.report, "%s", report.c_str());
    }
    void TearDown() override
    {
        command_line = CommandLine{}, command_line.method = -1;
        report_retry_ms = REPORT_RETRY_MS, report_write = WriteFile, disk_io_control = DeviceIoControl;
        report_links_refused = -1, strict_token = TOKEN_ELEVATED_ADMINISTRATOR;
        SetEnvironmentVariableA("TMP", temp_before.empty() ? NULL : temp_before.c_str());
        remove_tree(scratch), DialogBench::TearDown();
    }
    // A run of one step that writes nothing, at_look called at that step; the status box at its end.
    std::string run(const std::function<void()> &at_look)
    {
        ControlLog steps(dialog, IDC_STEP);
        steps.on_text = [&](const std::string &text) { if (text.find(": look") != std::string::npos) at_look(); };
        quit_code = -1, start_in(root, "1\r\nlook\r\n");
        EXPECT_TRUE(collected() && until([&] { return quit_code != -1; }, 5000)) << "no end, or no exit code";
        return text_of(IDC_STATUS);
    }
    // The status box's lines under the summary: what it says of the record.
    static std::string under_summary(const std::string &status)
    {
        const size_t summary_end = status.find("\r\n", status.find("所要時間"));
        return summary_end == std::string::npos ? "" : status.substr(summary_end);
    }
};

// The files vanta names for a record the report did not take (beside it, or
// in the temporary folder): <base>-<computer>-<time>.csv, as a text names them.
static std::vector<std::string> files_named_in(const std::string &text, const std::string &base = "report")
{
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof computer;
    GetComputerNameA(computer, &size);
    const std::regex named("[A-Za-z]:\\\\[^ ]*\\\\" + base + "-" + std::string(computer) + "-\\d{8}T\\d{6}\\.csv");
    std::vector<std::string> found;
    for (std::sregex_iterator at(text.begin(), text.end(), named), end; at != end; ++at)
        found.push_back(at->str());
    return found;
}

// The system's text for a code, without its line break.
static std::string reason_of(DWORD code)
{
    const std::string text = system_text(code);
    return text.substr(0, text.find_last_not_of("\r\n") + 1);
}

// Writes as Windows makes them when another handle has locked the range at
// the file's end (Wine enforces no such lock): the first locked_writes are
// refused. With writer_coming, another writer tries the report as a header
// goes out (writer_found: what it met). The last write that went out is kept.
static volatile LONG locked_writes;
static bool writer_coming;
static DWORD writer_found;
static std::string last_write;
static BOOL WINAPI write_as_windows(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (writer_coming && size >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
        HANDLE other = CreateFileA(command_line.report, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                   OPEN_EXISTING, 0, NULL);
        writer_found = other == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        WriteFile(other, "\"another\"\r\n", 11, written, NULL), CloseHandle(other);
    }
    if (InterlockedDecrement(&locked_writes) >= 0)
        return *written = 0, SetLastError(ERROR_LOCK_VIOLATION), FALSE;
    BOOL wrote = WriteFile(file, data, size, written, overlapped);
    last_write.assign((const char *)data, wrote ? *written : 0);
    return wrote;
}

// A report held by another program at the run's end: the record waits for
// it within the retry time, then goes to a file beside it and says so; only
// a record written nowhere makes the run a failure, and says why. A reader
// that lets others write holds nothing up, and no other writer gets in while
// a report is made. Locks are Windows' (a seam), holders real processes.
TEST_F(ReportBench, AReportHeldByAnotherProgramLosesNoRecord)
{
    enum { REPORT, BESIDE, NOWHERE };
    const struct {
        const char *name, *holder;   // hold_file's mode ("": a reader that lets others write), or "empty
        DWORD hold_ms;
        LONG locked_writes;
        DWORD retry_ms;
        int lands, code;
        DWORD reason;                // the system's, in the status box; for a new report, what another writer meets
    } rows[] = {
        {"a new report: header and record in one write, no writer between", "", 0, 0, 9000, REPORT, 0, ERROR_SHARING_VIOLATION},
        {"a report made empty beforehand: the same", "empty", 0, 0, 9000, REPORT, 0, ERROR_SHARING_VIOLATION},
        {"a reader that lets others write: not waited for", "", 1000, 0, 0, REPORT, 0, 0},
        {"a spreadsheet for a moment", "spreadsheet", 800, 0, 9000, REPORT, 0, 0},
        {"a spreadsheet past the retries", "spreadsheet", 1500, 0, 300, BESIDE, 0, ERROR_SHARING_VIOLATION},
        {"a range locked for a moment", "", 0, 3, 9000, REPORT, 0, 0},
        // the report, the file beside it and one in the temporary folder: none takes it
        {"a range locked wherever the record goes", "", 0, 1 << 30, 300, NOWHERE, 3, ERROR_LOCK_VIOLATION},
    };
    std::set<std::string> run_ids;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::string before, after;
        bool bom = false;
        writer_coming = r.lands == REPORT && r.reason, writer_found = 0, last_write.clear();
        if (writer_coming) {
            DeleteFileA(report.c_str());
            if (r.holder == std::string("empty"))
                write_file(report, "");
        }
        read_file(report, &before);
        const size_t records_before = read_report(report, &bom).size();
        report_retry_ms = r.retry_ms, locked_writes = r.locked_writes, report_write = write_as_windows;
        HANDLE holder = NULL;
        const std::string status = run([&] { if (r.hold_ms) holder = hold_open(report, r.hold_ms, r.holder); });
        EXPECT_EQ(r.code, quit_code) << "exit code";
        EXPECT_EQ(writer_coming ? r.reason : 0u, writer_found) << "what another writer met while the report was made";
        WaitForSingleObject(holder, 20000), CloseHandle(holder);
        const std::vector<std::string> named = files_named_in(status);
        ASSERT_EQ(r.lands == REPORT ? 0u : r.lands == BESIDE ? 1u : 2u, named.size()) << status;
        const std::string reason = reason_of(r.reason);
        const std::string note = r.lands == REPORT ? ""
            : r.lands == BESIDE ? "\r\nこの実行の記録は " + named[0] + " に書きました。記録ファイル " + report + " に書き込めません: " + reason
            : "\r\n記録ファイル " + report + " に書き込めません: " + reason + "\r\n記録ファイル " + named[0] + " に書き込めません: " +
              reason + "\r\n記録ファイル " + named[1] + " に書き込めません: " + reason + "\r\nこの実行の記録はどこにも書けませんでした。";
        EXPECT_EQ(note, under_summary(status)) << "under the summary";
        if (r.lands != REPORT) {
            EXPECT_EQ(scratch + "\\", named[0].substr(0, scratch.size() + 1)) << "beside the report";
        }
        if (r.lands == NOWHERE) {
            EXPECT_EQ(temp + "\\", named[1].substr(0, temp.size() + 1)) << "in the account's temporary folder";
            for (const std::string &made : named)
                EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(made.c_str())) << made << ": made, and no record in it";
        }
        read_file(report, &after);
        EXPECT_EQ(r.lands == REPORT ? before + last_write : before, after) << "the report: the record in one write, or nothing";
        Records records = read_report(r.lands == BESIDE ? named[0] : report, &bom);
        if (r.lands != NOWHERE) {
            ASSERT_EQ(r.lands == BESIDE ? 1 : records_before + 1, records.size()) << "one record more, under one header";
            EXPECT_TRUE(bom);
            EXPECT_EQ(status, records.back()["ending"]) << "the record says what the status box says";
            EXPECT_TRUE(run_ids.insert(records.back()["run_id"]).second) << "a run ID again";
        }
        if (r.lands == BESIDE)
            DeleteFileA(named[0].c_str());
    }
}

// A fleet's first run finds no folder for its report (%ProgramData%\vanta on a
// fresh PC): it makes the last level, with the work folder's own DACL, and
// writes there. A deeper path, and in an elevated run a folder another
// account may have put there first (another owner, others may write, a
// link), take no record: it goes to the account's temporary folder, the
// record and the status box say where and why, and the run is a failure,
// as the report lacks it. Owners, DACLs and junctions are Windows' (the
// strict layer's), which Wine keeps none of.
TEST_F(ReportBench, AReportsFolderIsMadeOrRefusedAndTheRecordStillGoesWhereTheEndingSays)
{
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD length = 0;
    HANDLE token;
    char *sid = NULL;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                GetTokenInformation(token, TokenUser, user, sizeof user, &length) &&
                ConvertSidToStringSidA(((TOKEN_USER *)user)->User.Sid, &sid));
    const std::string account = sid, own_dacl = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + account + ")";
    LocalFree(sid), CloseHandle(token);
    const std::string others_write = "O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)";
    const std::string theirs = "O:S-1-5-21-1004336348-1177238915-682003330-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    enum { THERE, MISSING, DEEPER };
    const struct {
        const char *name;
        const char *folder;         // under scratch
        int state;                  // THERE: made by the test, MISSING: its last level is not there, DEEPER: two levels are not
        std::string security;       // what Windows would keep of a folder that is there ("": Wine's own)
        bool junction;
        int elevated;
        StrictToken token;
        bool lands_in_report;
        std::string made;           // the made folder's security, read back
        std::string refusal;        // vanta's reason, when the folder is refused
    } rows[] = {
        {"a fleet's first run: the folder made with the work folder's DACL", "vanta", MISSING, "", false, 1,
         TOKEN_ELEVATED_ADMINISTRATOR, true, "O:BA" + own_dacl, ""},
        {"a standard user's first run: made, the user's own", "vanta", MISSING, "", false, 0,
         TOKEN_STANDARD_USER, true, "O:" + account + own_dacl, ""},
        {"a deeper path is not made", "gone\\vanta", DEEPER, "", false, 1, TOKEN_ELEVATED_ADMINISTRATOR, false, "",
         "フォルダ " + scratch + "\\gone\\vanta がありません。vanta が作るのは記録ファイルのパスの最後のフォルダだけで、" + scratch +
             "\\gone もありません。"},
        {"the administrators' folder, as the readme makes it", "vanta", THERE,
         "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;S-1-5-21-1004336348-1177238915-682003330-1002)", false, 1,
         TOKEN_ELEVATED_ADMINISTRATOR, true, "", ""},
        {"another account made it first", "vanta", THERE, theirs, false, 1, TOKEN_ELEVATED_ADMINISTRATOR, false, "",
         "フォルダ " + scratch + "\\vanta の所有者がこのアカウント、SYSTEM、Administrators のどれでもないため、管理者として実行中はそこに書き込みません。"},
        {"others may write in it", "vanta", THERE, others_write, false, 1, TOKEN_ELEVATED_ADMINISTRATOR, false, "",
         "フォルダ " + scratch + "\\vanta にはほかのアカウントも書き込めるため、管理者として実行中はそこに書き込みません。"
         "SYSTEM と Administrators だけが書き込めるようにしてください（readme を参照）。"},
        {"a junction in its place", "vanta", THERE, "", true, 1, TOKEN_ELEVATED_ADMINISTRATOR, false, "",
         "フォルダ " + scratch + "\\vanta は別の場所を指すリンク（ジャンクションまたはシンボリックリンク）のため、管理者として実行中はそこに書き込みません。"},
        // a run without an administrator's rights writes only where its account may anyway
        {"others may write in it, and the run is not elevated", "vanta", THERE, others_write, false, 0,
         TOKEN_STANDARD_USER, true, "", ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const std::string folder = scratch + "\\" + r.folder, path = folder + "\\vanta.csv";
        remove_tree(scratch + "\\gone"), remove_tree(scratch + "\\vanta");
        if (r.state == THERE) {
            ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
        }
        strict_set_folder_security(folder, r.security), strict_set_junction(folder, r.junction);
        report_links_refused = r.elevated, strict_token = r.token;
        snprintf(command_line.report, sizeof command_line.report, "%s", path.c_str());
        const std::string status = run([] {});
        EXPECT_EQ(r.lands_in_report ? 0 : 3, quit_code) << "exit code: a record the report lacks is a failure";
        EXPECT_EQ(r.state != DEEPER, GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES) << "the folder";
        if (!r.made.empty()) {
            EXPECT_EQ(r.made, strict_folder_security(folder)) << "made with the work folder's own DACL";
        }
        bool bom = false;
        const std::vector<std::string> named = files_named_in(status, "vanta");
        if (r.lands_in_report) {
            EXPECT_EQ("", under_summary(status));
            EXPECT_TRUE(named.empty());
            Records records = read_report(path, &bom);
            ASSERT_EQ(1u, records.size());
            EXPECT_EQ(status, records[0]["ending"]);
            EXPECT_EQ("0", records[0]["exit_code"]);
        } else {
            ASSERT_EQ(1u, named.size()) << status;
            EXPECT_EQ(temp + "\\", named[0].substr(0, temp.size() + 1)) << "in the account's temporary folder";
            EXPECT_EQ("\r\nこの実行の記録は " + named[0] + " に書きました。記録ファイル " + path + " に書き込めません: " + r.refusal,
                      under_summary(status));
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str())) << "nothing in the refused folder";
            Records records = read_report(named[0], &bom);
            ASSERT_EQ(1u, records.size());
            EXPECT_TRUE(bom);
            EXPECT_EQ(status, records[0]["ending"]) << "the record says where it is and why";
            EXPECT_EQ("3", records[0]["exit_code"]);
            DeleteFileA(named[0].c_str());
        }
        strict_set_folder_security(folder, ""), strict_set_junction(folder, false);
    }
}

// A disk as Windows describes it through IOCTL_STORAGE_QUERY_PROPERTY: the
// device descriptor with its texts behind the fixed part, and one BOOLEAN
// each for the seek penalty and TRIM (-1: a property Windows XP does not know).
struct DiskAnswer { BYTE bus; const char *vendor, *product, *serial; int seek_penalty, trim; };
static const DiskAnswer *answering;
static BOOL WINAPI answer_as_disk(HANDLE device, DWORD code, LPVOID in, DWORD, LPVOID out, DWORD out_size,
                                  LPDWORD returned, LPOVERLAPPED)
{
    const STORAGE_PROPERTY_QUERY *query = (const STORAGE_PROPERTY_QUERY *)in;
    BYTE answer[512] = {};
    DWORD at = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    auto put = [&](const char *text) -> DWORD {   // a text behind the others, and its offset
        if (!text)
            return 0;
        strcpy((char *)answer + at, text), at += (DWORD)strlen(text) + 1;
        return at - (DWORD)strlen(text) - 1;
    };
    if (code != IOCTL_STORAGE_QUERY_PROPERTY || query->QueryType != PropertyStandardQuery || !device)
        return *returned = 0, SetLastError(ERROR_INVALID_FUNCTION), FALSE;
    if (query->PropertyId == StorageDeviceProperty) {
        STORAGE_DEVICE_DESCRIPTOR *described = (STORAGE_DEVICE_DESCRIPTOR *)answer;
        described->Version = sizeof *described, described->BusType = (STORAGE_BUS_TYPE)answering->bus;
        described->VendorIdOffset = put(answering->vendor), described->ProductIdOffset = put(answering->product);
        described->ProductRevisionOffset = put("1B2Q"), described->SerialNumberOffset = put(answering->serial);
        described->Size = at;
    } else {
        int value = query->PropertyId == StorageDeviceSeekPenaltyProperty ? answering->seek_penalty
                    : query->PropertyId == StorageDeviceTrimProperty      ? answering->trim : -1;
        if (value < 0)
            return *returned = 0, SetLastError(ERROR_NOT_SUPPORTED), FALSE;
        DEVICE_TRIM_DESCRIPTOR boolean = {sizeof boolean, sizeof boolean, (BOOLEAN)value};
        memcpy(answer, &boolean, at = sizeof boolean);
    }
    memcpy(out, answer, *returned = std::min(out_size, at));
    return TRUE;
}

// The disk beneath the volume in the record, as the system describes it; on
// a solid-state disk the summary, and with it the record, says what no
// free-space erase reaches. No system box for a missing medium during the
// run, and the process's own error mode back after it.
TEST_F(ReportBench, TheDiskBeneathIsRecordedAndASolidStateDiskSaysWhatNoEraseReaches)
{
    const std::string solid_state_line = "\r\nこのボリュームはソリッドステート ドライブ（SSD）上にあります。空き領域の消去は、"
        "ドライブが内部に持つ予備のブロックには届きません。ドライブ全体を消去するには、ドライブのサニタイズまたはセキュア消去の機能を使ってください。";
    const struct { const char *name; DiskAnswer answer; std::vector<std::string> fields; } rows[] = {
        // fields: disk_bus, disk_vendor, disk_model, disk_serial, solid_state, trim
        {"an NVMe SSD with TRIM", {0x11, nullptr, "Samsung SSD 980 PRO 1TB", "0025_3852_1234_5678.", 0, 1},
         {"NVMe", "", "Samsung SSD 980 PRO 1TB", "0025_3852_1234_5678.", "yes", "yes"}},
        {"a USB hard disk", {7, "WD      ", "Elements 25A2    ", "  575834314133 ", 1, 0},
         {"USB", "WD", "Elements 25A2", "575834314133", "no", "no"}},
        {"a SATA disk on Windows XP", {0xB, "ATA", "ST500DM002", "Z3T0\x01X", -1, -1}, {"SATA", "ATA", "ST500DM002", "Z3T0?X", "", ""}},
        {"a bus newer than this program", {0x20, nullptr, "X1", nullptr, 0, -1}, {"32", "", "X1", "", "yes", ""}},
        {"Wine: a bus, and nothing more", {}, {"", "", "", "", "", ""}},
    };
    const char *names[] = {"disk_bus", "disk_vendor", "disk_model", "disk_serial", "solid_state", "trim"};
    const UINT own_mode = SetErrorMode(SEM_NOGPFAULTERRORBOX);
    std::set<std::string> run_ids;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        answering = &r.answer, disk_io_control = r.answer.product ? answer_as_disk : DeviceIoControl;
        UINT during = 0, after = 0;
        const std::string status = run([&] { during = SetErrorMode(0), SetErrorMode(during); });
        after = SetErrorMode(0), SetErrorMode(after);
        EXPECT_EQ((UINT)(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS), during) << "no system box during the run";
        EXPECT_EQ((UINT)SEM_NOGPFAULTERRORBOX, after) << "the process's own mode back";
        bool bom = false;
        Records records = read_report(report, &bom);
        ASSERT_FALSE(records.empty());
        for (size_t f = r.answer.product ? 0 : 1; f < r.fields.size(); ++f)   // Wine's bus is its own
            EXPECT_EQ(r.fields[f], records.back()[names[f]]) << names[f];
        EXPECT_EQ(r.fields[4] == "yes", status.find(solid_state_line) != std::string::npos) << status;
        EXPECT_EQ(status, records.back()["ending"]);
        EXPECT_TRUE(std::regex_match(records.back()["run_id"], std::regex("[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}")));
        EXPECT_TRUE(run_ids.insert(records.back()["run_id"]).second) << "a run ID again";
    }
    SetErrorMode(own_mode);
}
