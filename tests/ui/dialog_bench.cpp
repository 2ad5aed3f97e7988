#include "dialog_bench.h"

#include <shlobj.h>
#include <string.h>

#include "steps/step_runner.h"
#include "test_helpers.h"
#include "ui/dialog.h"
#include "ui/work_folder.h"

const char INTRO[] = "ディスクの未使用領域を消去します。消去方法とフォルダを指定してください。";
const char NO_FOLDER[] = "フォルダ名が指定されていません。";
const char CANNOT_CREATE[] = "フォルダを作成できません。";
const char CANNOT_DELETE[] = "フォルダを削除できません。";
const char ALREADY_STARTED[] = "すでに開始しています。";
const char ABORTING[] = "中断しています...";
const char ABORTED[] = "中断しました。";
const char FINISHED[] = "消去が終了しました。";

std::string own_path()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    return std::string(path, length);
}

std::string settings_path()
{
    std::string exe = own_path();
    return exe.substr(0, exe.size() - 3) + "ini";
}

std::string script_path(int method_index)
{
    std::string exe = own_path();
    return exe.substr(0, exe.size() - 4) + std::to_string(method_index) + ".run";
}

// ----------------------------------------------------------- boxes

static BoxHook *active_hook;
static MessageBoxProc saved_proc;

static int WINAPI hooked_box(HWND owner, LPCSTR text, LPCSTR caption, UINT style)
{
    BoxHook *hook = active_hook;
    BoxRecord record{owner, text ? text : "", caption ? caption : "", style};
    EnterCriticalSection(&hook->lock);
    hook->shown.push_back(record);
    std::function<int(const BoxRecord &)> handler = hook->handler;
    LeaveCriticalSection(&hook->lock);
    return handler ? handler(record) : IDOK;
}

BoxHook::BoxHook()
{
    InitializeCriticalSection(&lock);
    saved_proc = message_box_proc;
    active_hook = this;
    message_box_proc = hooked_box;
}

BoxHook::~BoxHook()
{
    message_box_proc = saved_proc;
    active_hook = NULL;
    DeleteCriticalSection(&lock);
}

size_t BoxHook::count()
{
    EnterCriticalSection(&lock);
    size_t n = shown.size();
    LeaveCriticalSection(&lock);
    return n;
}

bool BoxHook::saw(const std::string &text)
{
    EnterCriticalSection(&lock);
    bool found = false;
    for (const BoxRecord &box : shown)
        found = found || box.text == text;
    LeaveCriticalSection(&lock);
    return found;
}

HDROP make_drop(const std::vector<std::string> &names)
{
    size_t size = sizeof(DROPFILES) + 1;
    for (const std::string &name : names)
        size += name.size() + 1;
    HGLOBAL memory = GlobalAlloc(GHND, size);
    DROPFILES *drop = (DROPFILES *)GlobalLock(memory);
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = FALSE;
    char *p = (char *)(drop + 1);
    for (const std::string &name : names) {
        memcpy(p, name.c_str(), name.size() + 1);
        p += name.size() + 1;
    }
    GlobalUnlock(memory);
    return (HDROP)memory;
}

// ----------------------------------------------------------- the loop

bool MessagePump::until(const std::function<bool()> &done, DWORD limit_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit_seen = true;
                quit_code = message.wParam;
                continue;
            }
            if (dialog && IsWindow(dialog) && IsDialogMessageA(dialog, &message))
                continue;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (done())
            return true;
        if (GetTickCount() - start >= limit_ms)
            return false;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
    }
}

// ----------------------------------------------------------- the bench

void DialogBench::SetUp()
{
    instance = GetModuleHandleA(NULL);
    load_texts(instance);
    DeleteFileA(settings_path().c_str());
    for (int i = 0; i < 10; ++i)
        DeleteFileA(script_path(i).c_str());
}

void DialogBench::open_dialog(const char *settings)
{
    if (settings) {
        ASSERT_TRUE(write_file(settings_path(), settings));
    }
    dialog = CreateDialogParamA(instance, "IDD_DIALOG", NULL, dialog_proc, 0);
    ASSERT_TRUE(dialog != NULL) << "the dialog template did not make a dialog";
    pump.dialog = dialog;
    pump.drain();
}

void DialogBench::script(int method_index, const std::string &text)
{
    ASSERT_TRUE(write_file(script_path(method_index), text));
}

std::string DialogBench::text_of(int id)
{
    return window_text(dialog, id);
}

bool DialogBench::enabled(int id)
{
    return IsWindowEnabled(GetDlgItem(dialog, id)) != 0;
}

void DialogBench::press(int id)
{
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

void DialogBench::forget_run()
{
    if (wipe_job.thread) {
        // a worker that a test left running must not outlive the test's state
        abort_flag = 1;
        HANDLE thread = wipe_job.thread;
        pump.until([thread] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, 60000);
        CloseHandle(thread);
    }
    ZeroMemory((void *)&wipe_job, sizeof wipe_job);
    abort_flag = 0;
    work_folder_created = 0;
    work_folder_path[0] = 0;
}

void DialogBench::TearDown()
{
    forget_run();
    if (dialog && IsWindow(dialog))
        DestroyWindow(dialog);
    pump.drain();
    use_new_browse_dialog = 2;
    module_file_name = GetModuleFileNameA;
    DeleteFileA(settings_path().c_str());
    for (int i = 0; i < 10; ++i)
        DeleteFileA(script_path(i).c_str());
}
