// The settings file next to the executable: method names, how many methods
// there are, and the folder picker's style. Read only, never written.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "steps/step_runner.h"
#include "support/messages.h"

char setting_value[256];
int use_new_browse_dialog = 2;

const char *read_setting(const char *section, const char *key)
{
    char settings_path[MAX_PATH + 1];
    DWORD length = module_file_name(NULL, settings_path, sizeof settings_path);

    setting_value[0] = 0;
    if (length == 0) {
        run_context.last_error = GetLastError();
        error_box(NULL, MB_OK | MB_ICONERROR, "can't GetModuleFileName(NULL,,)\r\n");
        PostQuitMessage(1);
        return setting_value;
    }
    // a cut path would name some other file
    if (length > MAX_PATH || length < 3)
        return setting_value;
    settings_path[length] = 0;
    memcpy(settings_path + length - 3, "ini", 3);
    GetPrivateProfileStringA(section, key, "", setting_value, sizeof setting_value,
                             settings_path);
    return setting_value;
}

int highest_method_index(void)
{
    int highest = atoi(read_setting("mode", "maxnumber"));
    return highest > HIGHEST_METHOD_INDEX ? HIGHEST_METHOD_INDEX : highest;
}

const char *method_name(int index)
{
    char key[16];
    snprintf(key, sizeof key, "%d", index);
    return read_setting("mode", key);
}

int new_browse_dialog(void)
{
    // read once: a change of the file shows at the program's next start
    if (use_new_browse_dialog == 2)
        use_new_browse_dialog =
            strcmp(read_setting("SHBrowseForFolder", "BIF_NEWDIALOGSTYLE"), "1") == 0;
    return use_new_browse_dialog;
}
