/* Id of the over-long test text; windres reads this file too. */
#ifndef VANTA_TESTS_LONG_TEXT_H
#define VANTA_TESTS_LONG_TEXT_H

#define IDS_LONG_TEXT 900    /* 1100 characters: "000|001|002|..." */
#define LONG_TEXT_LENGTH 1100

#endif
