// The real main dialog, created in the test's own thread from the program's
// template, with the settings file and step scripts beside the test program.
// The test's thread is the window thread: it runs the message loop (with the
// dialog's keyboard handling) whenever it waits for something.
#ifndef VANTA_TESTS_UI_DIALOG_BENCH_H
#define VANTA_TESTS_UI_DIALOG_BENCH_H

#include <windows.h>
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>
#include "support/messages.h"
#include "test_helpers.h"

// The program's own path and the files named after it.
std::string own_path();
std::string settings_path();                    // <exe without "exe">ini
std::string script_path(int method_index);     // <exe without ".exe"><index>.run

// Every message box of the program, answered by the test's handler on the
// thread that shows it (the worker's boxes on the worker). Records them all.
struct BoxHook {
    BoxHook();
    ~BoxHook();
    std::function<int(const BoxRecord &)> handler;   // IDOK when unset
    std::vector<BoxRecord> shown;                    // read once the boxes are over
    CRITICAL_SECTION lock;
    size_t count();
    bool saw(const std::string &text);
};

// Runs the window thread's loop until done() holds or limit_ms pass; true
// when it holds. A quit message is taken out of the queue and kept.
struct MessagePump {
    explicit MessagePump(HWND dialog = NULL) : dialog(dialog) {}
    bool until(const std::function<bool()> &done, DWORD limit_ms = 30000);
    void drain() { until([] { return false; }, 50); }
    HWND dialog;
    bool quit_seen = false;
    WPARAM quit_code = 0xDEAD;
};

class DialogBench : public ::testing::Test {
protected:
    HWND dialog = NULL;
    MessagePump pump;

    void SetUp() override;
    void TearDown() override;
    // Creates the dialog with the settings file given (none when null).
    void open_dialog(const char *settings = "[mode]\r\nmaxnumber=0\r\n0=zeros\r\n");
    void script(int method_index, const std::string &text);
    std::string text_of(int id);
    bool enabled(int id);
    void press(int id);                 // WM_COMMAND as a click would send it
    // Collects a worker that is still tracked and forgets the run's state, so
    // that the next test starts from a program that has just started.
    void forget_run();
};

// A drop as the shell hands it over: DROPFILES and the names in the ANSI code
// page, double-zero terminated. The receiver's DragFinish frees it.
HDROP make_drop(const std::vector<std::string> &names);

// Texts of the string table as the program shows them.
extern const char INTRO[];
extern const char NO_FOLDER[];
extern const char CANNOT_CREATE[];
extern const char CANNOT_DELETE[];
extern const char ALREADY_STARTED[];
extern const char ABORTING[];
extern const char ABORTED[];
extern const char FINISHED[];

#endif
