// The program's texts from the string table, loaded once and kept.
#include <stdlib.h>
#include <string.h>
#include "support/messages.h"

char *load_resource_string(HINSTANCE instance, UINT id)
{
    // handed out when a copy can't be made; callers show it and never free it
    static char empty_text[1];
    char text[1024];

    if (LoadStringA(instance, id, text, 1023) <= 0)
        text[0] = 0;   // a missing text shows as empty
    char *copy = strdup(text);
    return copy ? copy : empty_text;
}
