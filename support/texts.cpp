// The string table's texts, loaded once at start-up and kept for the whole
// process, so that the worker and the passes never touch the resources.
#include "support/messages.h"

static char *texts[IDS_LAST - IDS_FIRST + 1];

// The order in which the program has always loaded them.
static const UINT load_order[] = {
    IDS_VERSION, IDS_ABOUT_CAPTION, IDS_DIALOG_NAME, IDS_APP_NAME, IDS_CLASS_NAME,
    IDS_MENU_NAME, IDS_BROWSE_TITLE, IDS_NO_FOLDER, IDS_CANNOT_CREATE_FOLDER,
    IDS_CANNOT_DELETE_FOLDER, IDS_ALREADY_STARTED, IDS_ABORTING, IDS_ABORTED,
    IDS_FOLDER_EXISTS, IDS_STEP_FORMAT, IDS_INTRO, IDS_FINISHED, IDS_CONTINUE_QUESTION,
    // added since, in the order of their ids
    IDS_SCRIPT_EMPTY, IDS_SCRIPT_SHORT, IDS_WORK_FOLDER_LINK, IDS_DELETING_WORK_FILES,
    IDS_MORE_FAILURES, IDS_PATTERN_STORED_SMALL, IDS_TIME_LEFT, IDS_SECONDS, IDS_MINUTES,
    IDS_MINUTES_SECONDS, IDS_HOURS_MINUTES, IDS_SUMMARY, IDS_SUMMARY_VERIFIED, IDS_OUT_OF_REACH,
    IDS_SCRIPT_NO_STEPS, IDS_WORD_QUESTION, IDS_WORD_UNREADABLE, IDS_USAGE, IDS_BAD_SWITCH,
    IDS_NO_SUCH_METHOD, IDS_START_WITHOUT_FOLDER, IDS_REPORT_FAILED, IDS_TWO_FOLDERS,
    IDS_NOTHING_TO_VERIFY, IDS_KEYWORD_QUESTION, IDS_KEYWORD_UNREADABLE, IDS_DAMAGED_SECTORS,
    IDS_REPORT_ELSEWHERE, IDS_SOLID_STATE, IDS_SWITCH_TWICE,
    IDS_RESUME_QUESTION, IDS_RESUME_IMPOSSIBLE, IDS_RESUME_LATER, IDS_NOTHING_TO_RESUME,
};

void load_texts(HINSTANCE instance)
{
    for (UINT id : load_order) {
        // a second call keeps what the first one loaded: texts are never freed
        if (!texts[id - IDS_FIRST])
            texts[id - IDS_FIRST] = load_resource_string(instance, id);
    }
}

const char *program_text(UINT id)
{
    if (id < IDS_FIRST || id > IDS_LAST || !texts[id - IDS_FIRST])
        return "";
    return texts[id - IDS_FIRST];
}
