/* Resource ids of the program. Plain #defines only: windres reads this file too. */
#ifndef VANTA_UI_RESOURCE_H
#define VANTA_UI_RESOURCE_H

#include "support/string_ids.h"

#define IDI_VANTA 101

/* The dialog template itself is named by text: "IDD_DIALOG" (IDS_DIALOG_NAME),
   so IDD_DIALOG must never be given a number here. */

/* Controls of the main dialog; IDABORT (3) and IDCANCEL (2) are the Abort and
   Close buttons. */
#define IDC_METHOD_LABEL 120
#define IDC_FOLDER_LABEL 121
#define IDC_METHOD       142
#define IDC_FOLDER       143
#define IDC_START        144
#define IDC_BROWSE       145
#define IDC_STATUS       146
#define IDC_STEP         147
#define IDC_PROGRESS     148   /* the whole run's progress bar */

/* Commands with no control: they reach the dialog from elsewhere. */
#define IDM_QUIT  204
#define IDM_ABOUT 209

#endif
