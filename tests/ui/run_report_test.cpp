// The run's record as a fleet and an auditor rely on it: fields no
// spreadsheet runs, a switch given twice, a report another program holds,
// the disk beneath, and no box of the system's own during a run.
#include <algorithm>
#include <set>
#include "dialog_bench.h"
#include <winioctl.h>

static const char FINISHED[] = "消去が終了しました。";
static const char SOLID_STATE[] =
    "このボリュームはソリッドステート ドライブ（SSD）上にあります。空き領域の消去は、ドライブが内部に持つ予備の"
    "ブロックには届きません。ドライブ全体を消去するには、ドライブのサニタイズまたはセキュア消去の機能を使ってください。";

// A system text as the status box keeps it: without the line break it ends in.
static std::string kept(const std::string &text) { return text.substr(0, text.find_last_not_of("\r\n") + 1); }

TEST(RunReport, AFieldIsQuotedItsQuotesDoubledAndNoSpreadsheetRunsIt)
{
    const struct { const char *text, *field; } rows[] = {
        {"@SUM(1)", "\"'@SUM(1)\""}, {"=1+1", "\"'=1+1\""}, {"+81 3", "\"'+81 3\""}, {"-2+3", "\"'-2+3\""},
        {"\tcmd", "\"'\tcmd\""}, {"\rcmd", "\"'\rcmd\""},
        {"'quoted", "\"''quoted\""},   // so that one leading apostrophe can always come off again
        {"a=b-c", "\"a=b-c\""}, {"表=1", "\"表=1\""}, {"2026-12-07", "\"2026-12-07\""}, {"", "\"\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""}, {"\"=1\"", "\"\"\"=1\"\"\""}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        char line[REPORT_LINE_SIZE] = "";
        add_report_field(line, r.text);
        EXPECT_EQ(r.field, std::string(line));
        add_report_field(line, r.text);
        EXPECT_EQ(std::string(r.field) + "," + r.field, std::string(line)) << "a second field";
    }
}

TEST(CommandLine, ASwitchGivenTwiceWithAnotherValueIsAWrongLine)
{
    load_texts(GetModuleHandleA(NULL));
    const std::string twice = "は、同じスイッチに違う値を指定しています。";
    const struct { const char *line; int wrong, method; const char *report; std::string error; } rows[] = {
        {"vanta.exe D:\\ /method:1 /method:2 /start", 1, 1, "", "コマンドラインの /method:1 と /method:2 " + twice},
        {"vanta.exe D:\\ /method:1 -METHOD:01 /method:1", 0, 1, "", ""},
        {"vanta.exe D:\\ /report:a.csv /method:3 /report:b.csv", 1, 3, "a.csv",
         "コマンドラインの /report:a.csv と /report:b.csv " + twice},
        {"vanta.exe D:\\ /report:C:\\Logs\\v.csv /REPORT:c:\\logs\\V.CSV", 0, -1, "C:\\Logs\\v.csv", ""},
        {"vanta.exe D:\\ \"/report:記録 表.csv\" /report:\"記録 表.csv\"", 0, -1, "記録 表.csv", ""},
        // ア and ヂ differ only in a trail byte that a case-blind byte compare folds
        {"vanta.exe D:\\ /report:ア.csv /report:ヂ.csv", 1, -1, "ア.csv", "コマンドラインの /report:ア.csv と /report:ヂ.csv " + twice},
        {"vanta.exe D:\\ /yes /start /yes /start", 0, -1, "", ""}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.line);
        CommandLine parsed;
        EXPECT_EQ(r.wrong, parse_command_line(r.line, &parsed));
        EXPECT_EQ(r.method, parsed.method);
        EXPECT_EQ(r.report, std::string(parsed.report));
        EXPECT_EQ(r.error, std::string(parsed.error));
    }
}

// The dialog's bench with a report in a folder of the test's own: the
// program ends with its exit code (/exit), and every seam is Win32's own
// again afterwards.
class ReportBench : public DialogBench {
protected:
    std::string scratch = current_directory() + "\\report_bench", report = scratch + "\\report.csv";
    void SetUp() override
    {
        DialogBench::SetUp();
        remove_tree(scratch);
        ASSERT_TRUE(CreateDirectoryA(scratch.c_str(), NULL));
        memset(&command_line, 0, sizeof command_line);
        command_line.method = -1, command_line.exit_when_done = 1;
        snprintf(command_line.report, sizeof command_line.report, "%s", report.c_str());
    }
    void TearDown() override
    {
        memset(&command_line, 0, sizeof command_line);
        command_line.method = -1;
        report_retry_ms = REPORT_RETRY_MS, report_write = WriteFile, disk_io_control = DeviceIoControl;
        remove_tree(scratch);
        DialogBench::TearDown();
    }
    // A run of one step that writes nothing, at_look called at that step;
    // the status box at its end.
    std::string run(const std::function<void()> &at_look)
    {
        ControlLog steps(dialog, IDC_STEP);
        steps.on_text = [&](const std::string &text) {
            if (text.find(": look") != std::string::npos)
                at_look();
        };
        quit_code = -1;
        start_in(root, "1\r\nlook\r\n");
        EXPECT_TRUE(collected());
        EXPECT_TRUE(until([&] { return quit_code != -1; }, 5000)) << "no exit code";
        return text_of(IDC_STATUS);
    }
    // The file of folder that took a record its report could not:
    // <report's name>-<computer>-<YYYYMMDDThhmmss>.csv; empty when no file is so named.
    static std::string named_beside(const std::string &folder, const std::string &name)
    {
        char computer[MAX_COMPUTERNAME_LENGTH + 1] = "";
        DWORD size = sizeof computer;
        GetComputerNameA(computer, &size);
        const std::string start = "report-" + std::string(computer) + "-";
        if (name.compare(0, start.size(), start) || name.size() != start.size() + 19 || name.substr(name.size() - 4) != ".csv")
            return "";
        std::string time = name.substr(start.size(), 15);
        for (size_t i = 0; i < time.size(); ++i)
            if (i == 8 ? time[i] != 'T' : !isdigit((unsigned char)time[i]))
                return "";
        return folder + "\\" + name;
    }
};

// Another program holding path for ms, as a reader that lets others write
// or as a spreadsheet; returns once it has the file (its process).
static HANDLE hold(const std::string &path, DWORD ms, bool spreadsheet)
{
    std::string exe = std::string("Z:") + (getenv("VANTA_HOLD_FILE") ? getenv("VANTA_HOLD_FILE") : "");
    std::replace(exe.begin(), exe.end(), '/', '\\');
    std::string command = "\"" + exe + "\" \"" + path + "\" " + std::to_string(ms) + " vanta_report_held" +
                          (spreadsheet ? " spreadsheet" : "");
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, "vanta_report_held");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        CloseHandle(process.hThread), WaitForSingleObject(ready, 10000);
    CloseHandle(ready);
    return process.hProcess;
}

// Writes as Windows makes them when another handle has locked the range at
// the file's end, which Wine does not enforce: refused, the first
// locked_writes of them. With a writer coming, another writer tries the
// report just as its header goes out (where it must find it held). The last
// write that went out is kept.
static volatile LONG locked_writes;
static std::string writer_coming, last_write;
static DWORD writer_found = ~0u;
static BOOL WINAPI write_as_windows(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (!writer_coming.empty() && size >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
        HANDLE other = CreateFileA(writer_coming.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        writer_found = other == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (other != INVALID_HANDLE_VALUE) {
            DWORD put = 0;
            WriteFile(other, "\"another\"\r\n", 11, &put, NULL);
            CloseHandle(other);
        }
    }
    if (InterlockedDecrement(&locked_writes) >= 0) {
        *written = 0;
        SetLastError(ERROR_LOCK_VIOLATION);
        return FALSE;
    }
    BOOL wrote = WriteFile(file, data, size, written, overlapped);
    if (wrote)
        last_write.assign((const char *)data, *written);
    return wrote;
}

// A report held by another program at the run's end: the record waits for
// it within the retry time, then goes beside it and says where; only a
// record written nowhere makes the run a failure, and says why. Readers that
// let others write never hold it up, and no writer gets in while a report is
// made. Locks are Windows' (a seam), holders real processes.
TEST_F(ReportBench, AReportHeldByAnotherProgramLosesNoRecord)
{
    enum { NO_ONE, READER, SPREADSHEET, WRITER };
    enum { REPORT, BESIDE, NOWHERE };
    const std::string missing = scratch + "\\gone\\report.csv";
    const struct {
        const char *name;
        int holder;
        DWORD hold_ms;
        LONG locked_writes;
        DWORD retry_ms;
        std::string report;
        int lands, code;
        DWORD reason;
        bool made_empty = false;   // the report made ready beforehand, empty
    } rows[] = {
        {"a new report: its header and first record in one write, no writer between", WRITER, 0, 0, 20000, report, REPORT, 0, 0},
        {"an empty report made ready beforehand: the same", WRITER, 0, 0, 20000, report, REPORT, 0, 0, true},
        {"a report of records: the record alone", NO_ONE, 0, 0, 0, report, REPORT, 0, 0},
        {"a reader that lets others write: not waited for", READER, 3000, 0, 0, report, REPORT, 0, 0},
        {"a spreadsheet for a moment", SPREADSHEET, 800, 0, 20000, report, REPORT, 0, 0},
        {"a spreadsheet past the retries", SPREADSHEET, 1500, 0, 300, report, BESIDE, 0, ERROR_SHARING_VIOLATION},
        {"a range locked for a moment", NO_ONE, 0, 3, 20000, report, REPORT, 0, 0},
        {"a range locked wherever the record goes", NO_ONE, 0, 1 << 30, 300, report, NOWHERE, 3, ERROR_LOCK_VIOLATION},
        {"a report in a folder that does not exist", NO_ONE, 0, 0, 300, missing, NOWHERE, 3, ERROR_PATH_NOT_FOUND},
    };
    std::set<std::string> run_ids;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        if (r.made_empty) {
            ASSERT_TRUE(write_file(report, ""));
        }
        std::string before;
        bool bom = false;
        read_file(report, &before);
        const size_t records = read_report(report, &bom).size();
        report_retry_ms = r.retry_ms, locked_writes = r.locked_writes, report_write = write_as_windows;
        writer_coming = r.holder == WRITER ? report : "", writer_found = ~0u, last_write.clear();
        snprintf(command_line.report, sizeof command_line.report, "%s", r.report.c_str());
        HANDLE holder = NULL;
        const std::string status = run([&] {
            if (r.holder == READER || r.holder == SPREADSHEET)
                holder = hold(report, r.hold_ms, r.holder == SPREADSHEET);
        });
        EXPECT_EQ(r.code, quit_code) << "exit code";
        EXPECT_EQ(0u, status.find(FINISHED)) << status;
        if (holder) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holder, 20000));
            CloseHandle(holder);
        }
        if (r.holder == WRITER) {
            EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, writer_found) << "another writer got in while the report was made";
        }

        // the files beside the report, and what the record's place says of it
        std::string beside;
        for (const std::string &name : list_folder(scratch))
            if (name != "report.csv") {
                EXPECT_EQ(scratch + "\\" + name, beside = named_beside(scratch, name)) << "a stray file";
            }
        const std::string reason = kept(system_text(r.reason));
        const size_t cut = status.find("\r\n" + std::string(r.lands == BESIDE ? "この実行の記録は " : "記録ファイル "));
        const std::string ending = r.lands == REPORT ? status : status.substr(0, cut);
        const std::string moved = r.lands == REPORT ? "" : status.substr(cut == std::string::npos ? status.size() : cut);
        Records written = read_report(r.lands == BESIDE ? beside : report, &bom);
        if (r.lands == REPORT) {
            EXPECT_EQ("", beside) << "a record beside a report that took it";
            ASSERT_EQ(records + 1, written.size()) << "one record more";
            EXPECT_TRUE(bom);
            EXPECT_EQ(status, written.back()["ending"]);
            EXPECT_EQ(std::string::npos, status.find("記録")) << status;
            std::string after;
            read_file(report, &after);
            EXPECT_EQ(before + last_write, after) << "the record in one write";
        } else {
            std::string after;
            read_file(report, &after);
            EXPECT_EQ(before, after) << "the report changed";
        }
        if (r.lands == BESIDE) {
            ASSERT_NE("", beside) << "no file beside the report";
            EXPECT_EQ("\r\nこの実行の記録は " + beside + " に書きました。記録ファイル " + report + " に書き込めません: " + reason, moved);
            ASSERT_EQ(1u, written.size()) << "the record, under its own header";
            EXPECT_TRUE(bom);
            EXPECT_EQ(status, written.back()["ending"]) << "the record says where it is and why";
        }
        if (r.lands == NOWHERE) {
            const std::string folder = r.report.substr(0, r.report.rfind('\\'));
            const std::string second = moved.substr(std::min(moved.size(), moved.find("\r\n", 2)));
            EXPECT_EQ("\r\n記録ファイル " + r.report + " に書き込めません: " + reason, moved.substr(0, moved.size() - second.size()));
            EXPECT_EQ(0u, second.find("\r\n記録ファイル " + folder + "\\report-")) << second;
            EXPECT_EQ(" に書き込めません: " + reason, second.substr(std::min(second.size(), second.find(".csv") + 4)));
            EXPECT_TRUE(beside.empty() || read_report(beside, &bom).empty()) << "a record after all";
        }
        if (r.lands != NOWHERE && !written.empty()) {
            EXPECT_TRUE(run_ids.insert(written.back()["run_id"]).second) << "a run ID again";
            EXPECT_NE(std::string::npos, ending.find("所要時間")) << ending;
        }
        if (!beside.empty())
            DeleteFileA(beside.c_str());
    }
}

// A disk as Windows describes it through IOCTL_STORAGE_QUERY_PROPERTY: its
// device descriptor with its texts behind the fixed part, and one BOOLEAN
// each for the seek penalty and TRIM; -1 for a property the system does not
// know (Windows XP).
struct DiskAnswer { BYTE bus; const char *vendor, *product, *serial; int seek_penalty, trim; };
static const DiskAnswer *answering;
static BOOL WINAPI answer_as_disk(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                                  LPDWORD returned, LPOVERLAPPED)
{
    const STORAGE_PROPERTY_QUERY *query = (const STORAGE_PROPERTY_QUERY *)in;
    *returned = 0;
    if (code != IOCTL_STORAGE_QUERY_PROPERTY || in_size < 8 || query->QueryType != PropertyStandardQuery ||
        device == INVALID_HANDLE_VALUE || !device)
        return SetLastError(ERROR_INVALID_FUNCTION), FALSE;
    if (out_size < sizeof(STORAGE_DESCRIPTOR_HEADER))
        return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
    if (query->PropertyId == StorageDeviceProperty) {
        BYTE descriptor[512] = {};
        STORAGE_DEVICE_DESCRIPTOR *described = (STORAGE_DEVICE_DESCRIPTOR *)descriptor;
        DWORD at = sizeof *described;
        auto put = [&](const char *text) {
            DWORD offset = text ? at : 0;
            if (text)
                strcpy((char *)descriptor + at, text), at += (DWORD)strlen(text) + 1;
            return offset;
        };
        described->Version = sizeof *described;
        described->BusType = (STORAGE_BUS_TYPE)answering->bus;
        described->VendorIdOffset = put(answering->vendor);
        described->ProductIdOffset = put(answering->product);
        described->ProductRevisionOffset = put("1B2QGXA7");
        described->SerialNumberOffset = put(answering->serial);
        described->Size = at;
        *returned = std::min(out_size, at);
        memcpy(out, descriptor, *returned);
        return TRUE;
    }
    int value = query->PropertyId == StorageDeviceSeekPenaltyProperty ? answering->seek_penalty
                : query->PropertyId == StorageDeviceTrimProperty      ? answering->trim : -1;
    if (value < 0)
        return SetLastError(ERROR_NOT_SUPPORTED), FALSE;
    DEVICE_TRIM_DESCRIPTOR answer = {sizeof answer, sizeof answer, (BOOLEAN)value};
    *returned = std::min(out_size, (DWORD)sizeof answer);
    memcpy(out, &answer, *returned);
    return TRUE;
}

// The disk beneath the volume in the record, as the system describes it; on
// a solid-state disk the summary, and with it the record, says what no
// free-space erase reaches. The system's boxes for a missing medium are off
// during the run and the process's own mode is back after it.
TEST_F(ReportBench, TheDiskBeneathIsRecordedAndASolidStateDiskSaysWhatNoEraseReaches)
{
    const struct {
        const char *name;
        DiskAnswer answer;   // no product: the system's own answer
        const char *bus, *vendor, *model, *serial, *solid_state, *trim;
    } rows[] = {
        {"an NVMe SSD with TRIM", {0x11, nullptr, "Samsung SSD 980 PRO 1TB", "0025_3852_1234_5678.", 0, 1},
         "NVMe", "", "Samsung SSD 980 PRO 1TB", "0025_3852_1234_5678.", "yes", "yes"},
        {"a USB hard disk", {7, "WD      ", "Elements 25A2    ", "  575834314133 ", 1, 0},
         "USB", "WD", "Elements 25A2", "575834314133", "no", "no"},
        {"a SATA disk on Windows XP, which knows no seek penalty or TRIM", {0xB, "ATA", "ST500DM002", "Z3T0\x01X", -1, -1},
         "SATA", "ATA", "ST500DM002", "Z3T0?X", "", ""},
        {"a bus newer than this program", {0x20, nullptr, "X1", nullptr, 0, -1}, "32", "", "X1", "", "yes", ""},
        {"Wine, which names a bus and nothing more", {0, nullptr, nullptr, nullptr, 0, 0}, nullptr, "", "", "", "", ""},
    };
    const UINT own_mode = SetErrorMode(SEM_NOGPFAULTERRORBOX);
    std::set<std::string> run_ids;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        answering = &r.answer;
        disk_io_control = r.answer.product ? answer_as_disk : DeviceIoControl;
        UINT during = 0;
        const std::string status = run([&] { during = SetErrorMode(0), SetErrorMode(during); });
        const UINT after = SetErrorMode(0);
        SetErrorMode(after);
        EXPECT_EQ((UINT)(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS), during) << "no system box during the run";
        EXPECT_EQ((UINT)SEM_NOGPFAULTERRORBOX, after) << "the process's own mode back";
        bool bom = false;
        Records records = read_report(report, &bom);
        ASSERT_FALSE(records.empty());
        auto &record = records.back();
        if (r.bus) {
            EXPECT_EQ(r.bus, record["disk_bus"]);
        }
        EXPECT_EQ(r.vendor, record["disk_vendor"]);
        EXPECT_EQ(r.model, record["disk_model"]);
        EXPECT_EQ(r.serial, record["disk_serial"]);
        EXPECT_EQ(r.solid_state, record["solid_state"]);
        EXPECT_EQ(r.trim, record["trim"]);
        EXPECT_EQ(0u, status.find(FINISHED)) << status;
        EXPECT_EQ(std::string(r.solid_state) == "yes", status.find(std::string("\r\n") + SOLID_STATE) != std::string::npos)
            << "the summary's line on a solid-state disk, and only there: " << status;
        EXPECT_EQ(status, record["ending"]);
        const std::string id = record["run_id"];
        EXPECT_EQ(36u, id.size()) << id;
        EXPECT_EQ(std::string::npos, id.find_first_not_of("0123456789abcdef-")) << id;
        for (size_t dash : {8, 13, 18, 23})
            EXPECT_EQ('-', id[std::min(dash, id.size() - 1)]) << id;
        EXPECT_TRUE(run_ids.insert(id).second) << "a run ID again: " << id;
    }
    SetErrorMode(own_mode);
}
