// Message reporting: each reporter's limits, the system text for last_error
// appended whole or not at all, and the box it shows.
#include <gtest/gtest.h>
#include <string>
#include "support/messages.h"
#include "test_helpers.h"

static ScriptedBoxes *boxes;
static HWND owner, caller = GetDesktopWindow(), none;   // the run's window, a caller's, no owner
static char status[STATUS_TEXT_SIZE + 1];   // the caller's size + 1 bytes, then a guard byte

static std::string system_text_of(DWORD code, LANGID language = 0)
{
    char text[1024] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, language, text, sizeof text, NULL);
    return text;
}
static std::string last_box() { return boxes->shown.empty() ? "" : boxes->shown.back().text; }
static std::string xs(size_t length) { return std::string(length, 'x'); }

// The caller's text is cut after limit bytes; the system text is appended while the
// whole stays below bound (0: never). The box's style (0: no box) and owner.
#define SHOW(call, seen) [](const std::string &text) { const char *t = text.c_str(); call; return std::string(seen); }
#define BOX(call) SHOW(call, last_box())
static const struct Reporter {
    const char *name; size_t limit, bound; UINT style; const HWND *owner; std::string (*report)(const std::string &);
} REPORTERS[] = {
    {"fatal_box", 4095, 0, MB_OKCANCEL, &none, BOX(fatal_box("%s", t))},
    {"fatal_system_error", 4095, 4096, MB_OKCANCEL, &none, BOX(fatal_system_error("%s", t))},
    {"error_box", 2047, 2048, MB_YESNO | MB_ICONHAND, &caller, BOX(error_box(caller, MB_YESNO | MB_ICONHAND, "%s", t))},
    {"warn_box", 771, 772, MB_OK | MB_ICONWARNING, &owner, BOX(warn_box("%s", t))},
    {"format_system_error", 771, 771, 0, &none, SHOW(, format_system_error(status, STATUS_TEXT_LIMIT, "%s", t))},
    {"report_pass_error", 771, 771, MB_ICONWARNING, &owner, SHOW(report_pass_error("%s", t), window_text(owner, 146))},
};

TEST(Reporting, EachReporterCutsItsTextAndAppendsTheSystemTextWholeOrNotAtAll)
{
    ScriptedBoxes scripted;
    boxes = &scripted;
    owner = run_context.owner = create_status_window();
    run_context.status_id = 146;
    status[STATUS_TEXT_SIZE] = 'Z';
    // an English run asks for the system's text in English (Wine has it beside the Japanese one)
    for (int language : {LANGUAGE_JAPANESE, LANGUAGE_ENGLISH})
    for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, 0x2FFFFFFFL /* no text */}) {
        run_context.last_error = code, program_language = language;
        const std::string sys = system_text_of(code, language == LANGUAGE_ENGLISH ? MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US) : 0);
        for (const Reporter &r : REPORTERS) {
            SCOPED_TRACE(std::string(r.name) + ", code " + std::to_string(code) + (language ? ", English" : ""));
            scripted.shown.clear();
            // a CP932 name with a 0x5C trail byte and a per-cent sign: formatted once
            const std::string shown = std::string("C:\\表\\100%d ") + (r.bound ? sys : "");
            EXPECT_EQ(shown, r.report("C:\\表\\100%d "));
            ASSERT_EQ(r.style != 0, scripted.shown.size());
            for (const BoxRecord &b : scripted.shown)   // the one box, if any
                EXPECT_TRUE(b.text == shown && b.caption == "vanta" && b.style == r.style && b.owner == *r.owner);
            size_t fits = (r.bound ? r.bound - 1 : r.limit) - sys.size();   // one byte more won't
            EXPECT_EQ(xs(r.limit), r.report(xs(r.limit + 1)));
            EXPECT_EQ(xs(fits) + (r.bound ? sys : ""), r.report(xs(fits)));
            EXPECT_EQ(xs(fits < r.limit ? fits + 1 : r.limit), r.report(xs(fits + 1)));
        }
    }
    program_language = LANGUAGE_JAPANESE;
    EXPECT_NE(system_text_of(ERROR_ACCESS_DENIED), system_text_of(ERROR_ACCESS_DENIED, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)))
        << "the bench's system texts are Japanese, or the English rows prove nothing";
    EXPECT_EQ('Z', status[STATUS_TEXT_SIZE]) << "format_system_error wrote past size + 1 bytes";
    DestroyWindow(owner);
}

TEST(Reporting, ReturnsTheButtonOrTheCodeAndCancelInAFatalBoxEndsTheProcessWith1)
{
    ScriptedBoxes scripted;
    scripted.replies = {IDYES, IDNO, 0 /* the box could not be shown */};
    run_context.last_error = ERROR_ACCESS_DENIED;
    EXPECT_EQ(IDYES, error_box(NULL, MB_YESNO, "a "));
    EXPECT_EQ(IDNO, error_box(NULL, MB_YESNO, "a "));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, warn_box("b "));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, report_pass_error("c "));
    EXPECT_EXIT({ scripted.answer(IDCANCEL); fatal_box("x "); }, testing::ExitedWithCode(1), "");
    EXPECT_EXIT({ scripted.answer(IDCANCEL); fatal_system_error("x "); }, testing::ExitedWithCode(1), "");
}

// The failures a run showed come back at its end, one a line, each whole:
// what no longer fits is counted in a last line instead.
TEST(RunFailures, AreKeptInOrderWholeAndCountedWhenTheyNoLongerFit)
{
    load_texts(GetModuleHandleA(NULL));
    const std::string long_text = xs(300);
    const struct { const char *name; std::vector<std::string> noted; std::string shown; } cases[] = {
        {"none", {}, ""},
        {"one, its line break dropped", {"CreateFile(X:\\a): 見つかりません。\r\n"}, "CreateFile(X:\\a): 見つかりません。"},
        {"two, one a line", {"Verify error in X:\\1", "Verify error in X:\\3"},
         "Verify error in X:\\1\r\nVerify error in X:\\3"},
        {"what does not fit is counted", {long_text, long_text, long_text, "short"},
         long_text + "\r\n" + long_text + "\r\n" + "ほかに 2 件のエラーがあります。"},
        {"a first text too long for the room", {xs(760)}, "ほかに 1 件のエラーがあります。"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clear_run_failures();
        for (const std::string &text : c.noted)
            note_run_failure(text.c_str());
        EXPECT_EQ((int)c.noted.size(), run_failure_count());
        EXPECT_EQ(c.shown, run_failure_text());
        EXPECT_LE(strlen(run_failure_text()), (size_t)STATUS_TEXT_LIMIT);
    }
}

// A pass's report is a failure of the run; a report made after the run's
// failures were cleared is the only one there.
TEST(RunFailures, EveryPassReportIsNoted)
{
    ScriptedBoxes scripted;
    run_context.owner = create_status_window();
    run_context.status_id = 146;
    run_context.last_error = ERROR_ACCESS_DENIED;
    note_run_failure("from an earlier run");
    clear_run_failures();
    report_pass_error("CreateFile(%s): ", "X:\\1");
    EXPECT_EQ(1, run_failure_count());
    EXPECT_EQ("CreateFile(X:\\1): " + system_text_of(ERROR_ACCESS_DENIED).substr(0, system_text_of(ERROR_ACCESS_DENIED).find_last_not_of("\r\n") + 1),
              run_failure_text());
    DestroyWindow(run_context.owner);
    run_context.owner = NULL;
}
