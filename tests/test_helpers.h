// Shared pieces of the test programs: volumes, a status window, recorded
// message boxes, files and child processes.
#ifndef VANTA_TESTS_TEST_HELPERS_H
#define VANTA_TESTS_TEST_HELPERS_H

#include <windows.h>
#include <map>
#include <functional>
#include <string>
#include <vector>

// Root of a bench volume ("T:\\"), from VANTA_VOLUME_<NAME>; empty when the
// variable is missing (callers fail the test then).
std::string volume_root(const char *name);

// A top-level window with an edit control of the given id, for reading back
// the status texts a pass sets.
HWND create_status_window(int status_id = 146);
std::string window_text(HWND owner, int control_id);

// Replaces the program's message-box function for the life of the object:
// records every box and answers with the queued replies (IDOK when empty);
// on_show, when set, acts while the box is up (before it is answered).
struct BoxRecord { HWND owner; std::string text, caption; UINT style; };
struct ScriptedBoxes {
    ScriptedBoxes();
    ~ScriptedBoxes();
    void answer(int reply) { replies.push_back(reply); }
    std::vector<BoxRecord> shown;
    std::vector<int> replies;
    std::function<void(const BoxRecord &)> on_show;
};

// The Unix side under Wine: the Unix path of a Windows one (empty when Wine
// has none), and a shell command run natively to its end (true when it
// ended with status 0). For what a Windows program can't make under Wine,
// such as a symbolic link, or a rename another account makes.
std::string unix_path(const std::string &windows_path);
bool run_unix(const std::string &command);

bool write_file(const std::string &path, const std::string &bytes);
bool read_file(const std::string &path, std::string *bytes);
bool write_file_at(const std::string &path, unsigned long offset, const std::string &bytes);
std::vector<std::string> list_folder(const std::string &folder);   // names, sorted, no . or ..
void remove_tree(const std::string &folder);
unsigned long long free_bytes_of(const std::string &root);          // the caller's share

// UTF-8 back to the ANSI code page, for comparing with the program's texts.
std::string from_utf8(const std::string &text);
// The records of a run report: each a map from the header's field names to
// the values (quotes undone, line breaks kept); none when the file has no
// byte-order mark. A line whose field count is not the header's is no record.
typedef std::vector<std::map<std::string, std::string>> Records;
Records read_report(const std::string &path, bool *bom);

// Work that must run in a process of its own (it may end the process): a
// static TestChild names it, run_child_process(name) runs it and gives its
// exit code.
struct TestChild { TestChild(const char *name, int (*body)()); };
int run_test_child(const char *name);
DWORD run_child_process(const char *name);
std::string own_path();

#endif
