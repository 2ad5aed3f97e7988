// The string table's texts in both languages, loaded once at start-up and
// kept for the whole process, so that the worker and the passes never touch
// the resources; and the language the program speaks.
#include "support/messages.h"

#define TEXT_COUNT (IDS_LAST - IDS_FIRST + 1)

int program_language = LANGUAGE_JAPANESE;
static char *texts[2][TEXT_COUNT];
static const LANGID resource_languages[2] = {
    MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)};

void choose_language(int asked)
{
    // Japanese texts read only in code page 932
    if (asked == LANGUAGE_ENGLISH || (asked == LANGUAGE_JAPANESE && GetACP() == 932))
        program_language = asked;
    else
        program_language = GetACP() == 932 ? LANGUAGE_JAPANESE : LANGUAGE_ENGLISH;
}

const char *language_code(void)
{
    return program_language == LANGUAGE_ENGLISH ? "en" : "ja";
}

LANGID resource_language(void)
{
    return resource_languages[program_language];
}

void load_texts(HINSTANCE instance)
{
    for (int language = 0; language < 2; ++language)
        for (UINT id = IDS_FIRST; id <= IDS_LAST; ++id) {
            // a second call keeps what the first one loaded: texts are never freed
            if (!texts[language][id - IDS_FIRST])
                texts[language][id - IDS_FIRST] = load_resource_string(instance, id, resource_languages[language]);
        }
}

const char *program_text(UINT id)
{
    if (id < IDS_FIRST || id > IDS_LAST || !texts[program_language][id - IDS_FIRST])
        return "";
    return texts[program_language][id - IDS_FIRST];
}
