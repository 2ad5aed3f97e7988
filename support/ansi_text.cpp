// Unicode texts (names Windows gives as UTF-16, files saved in UTF-8 or
// UTF-16) in the ANSI code page the program works in. Best-fit mapping would
// turn a character the code page lacks into a look-alike that names another
// file (under 1252 "．．" is "..", "＼" is "\"; under 932 "¥" is "\"), so
// each character either comes back as itself or counts as lost.
#include <string.h>
#include "support/messages.h"

int ansi_from_wide(UINT code_page, const WCHAR *text, int length, char *ansi, int size, int *lost)
{
    // UTF-8 holds every character, and takes neither flag nor used-default
    int utf8 = code_page == CP_UTF8 || (code_page == CP_ACP && GetACP() == CP_UTF8);
    int have = 0;
    *lost = 0;
    if (length < 0)
        length = lstrlenW(text);
    for (int at = 0; at < length;) {
        // a surrogate pair is one character
        int units = IS_HIGH_SURROGATE(text[at]) && at + 1 < length && IS_LOW_SURROGATE(text[at + 1]) ? 2 : 1;
        char bytes[8];
        int got = 1;
        bytes[0] = (char)text[at];
        if (text[at] >= 0x80) {
            BOOL used = FALSE;
            WCHAR back[2];
            got = WideCharToMultiByte(code_page, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, text + at, units, bytes, sizeof bytes,
                                      NULL, utf8 ? NULL : &used);
            int back_units = got > 0 ? MultiByteToWideChar(code_page, 0, bytes, got, back, 2) : 0;
            if (got <= 0 || used || back_units != units || memcmp(back, text + at, units * sizeof(WCHAR)) != 0) {
                *lost = 1;
                bytes[0] = '?', got = 1;
            }
        }
        if (have + got >= size)
            break;
        memcpy(ansi + have, bytes, got);
        have += got;
        at += units;
    }
    if (size > 0)
        ansi[have] = 0;
    return have;
}
