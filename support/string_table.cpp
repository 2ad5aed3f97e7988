// The program's texts from the string table, in the language the program
// chose. LoadString would pick the language by the thread's UI language,
// which a Japanese Windows keeps Japanese under /lang:en: the block of the
// chosen language is found by hand.
#include <stdlib.h>
#include <string.h>
#include "support/messages.h"

// Texts are stored in blocks of 16, each a count of UTF-16 units and the units.
#define TEXTS_A_BLOCK 16

char *load_resource_string(HINSTANCE instance, UINT id, LANGID language)
{
    // handed out when a copy can't be made; callers show it and never free it
    static char empty_text[1];
    char text[1024];

    text[0] = 0;   // a missing text shows as empty
    HRSRC found = FindResourceExA(instance, (LPCSTR)RT_STRING, MAKEINTRESOURCEA(id / TEXTS_A_BLOCK + 1), language);
    HGLOBAL loaded = found ? LoadResource(instance, found) : NULL;
    const WORD *at = loaded ? (const WORD *)LockResource(loaded) : NULL;
    const WORD *end = at ? at + SizeofResource(instance, found) / sizeof(WORD) : NULL;
    for (UINT index = 0; at && at < end; ++index) {
        WORD length = *at++;
        if (length > end - at)
            break;
        if (index == id % TEXTS_A_BLOCK) {
            int got = WideCharToMultiByte(CP_ACP, 0, (LPCWSTR)at, length, text, sizeof text - 1, NULL, NULL);
            text[got > 0 ? got : 0] = 0;
            break;
        }
        at += length;
    }
    char *copy = strdup(text);
    return copy ? copy : empty_text;
}
