// The run's record as a fleet and an auditor rely on it: fields no
// spreadsheet runs, a switch given twice, a report another program holds,
// the disk beneath, and no box of the system's own during a run.
#include <regex>
#include <set>
#include "dialog_bench.h"
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
// program ending with its exit code (/exit), every seam Win32's own after.
class ReportBench : public DialogBench {
protected:
    std::string scratch = current_directory() + "\\report_bench", report = scratch + "\\report.csv";
    void SetUp() override
    {
        DialogBench::SetUp();
        remove_tree(scratch), CreateDirectoryA(scratch.c_str(), NULL);
        command_line = CommandLine{}, command_line.method = -1, command_line.exit_when_done = 1;
        snprintf(command_line.report, sizeof command_line.report, "%s", report.c_str());
    }
    void TearDown() override
    {
        command_line = CommandLine{}, command_line.method = -1;
        report_retry_ms = REPORT_RETRY_MS, report_write = WriteFile, disk_io_control = DeviceIoControl;
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
};

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
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof computer;
    GetComputerNameA(computer, &size);
    const std::regex beside_name("report-" + std::string(computer) + "-\\d{8}T\\d{6}\\.csv");
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
        {"a range locked wherever the record goes", "", 0, 1 << 30, 300, NOWHERE, 3, ERROR_LOCK_VIOLATION},
    };
    std::set<std::string> run_ids;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::string before, after, beside;
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
        for (const std::string &name : list_folder(scratch))
            if (name != "report.csv" && std::regex_match(name, beside_name))
                beside = scratch + "\\" + name;
        EXPECT_EQ(r.lands != REPORT, !beside.empty()) << "a file beside the report";
        const std::string reason = system_text(r.reason).substr(0, system_text(r.reason).find_last_not_of("\r\n") + 1);
        const std::string note = r.lands == REPORT ? ""
            : r.lands == BESIDE ? "\r\nこの実行の記録は " + beside + " に書きました。記録ファイル " + report + " に書き込めません: " + reason
            : "\r\n記録ファイル " + report + " に書き込めません: " + reason + "\r\n記録ファイル " + beside + " に書き込めません: " + reason;
        const size_t summary_end = status.find("\r\n", status.find("所要時間"));
        EXPECT_EQ(note, summary_end == std::string::npos ? "" : status.substr(summary_end)) << "under the summary";
        read_file(report, &after);
        EXPECT_EQ(r.lands == REPORT ? before + last_write : before, after) << "the report: the record in one write, or nothing";
        Records records = read_report(r.lands == BESIDE ? beside : report, &bom);
        if (r.lands != NOWHERE) {
            ASSERT_EQ(r.lands == BESIDE ? 1 : records_before + 1, records.size()) << "one record more, under one header";
            EXPECT_TRUE(bom);
            EXPECT_EQ(status, records.back()["ending"]) << "the record says what the status box says";
            EXPECT_TRUE(run_ids.insert(records.back()["run_id"]).second) << "a run ID again";
        }
        DeleteFileA(beside.c_str());
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
