/* Ids of the string table. Plain #defines only: windres reads this file too. */
#ifndef VANTA_SUPPORT_STRING_IDS_H
#define VANTA_SUPPORT_STRING_IDS_H

#define IDS_VERSION               400
#define IDS_ABOUT_CAPTION         401
#define IDS_APP_NAME              402
#define IDS_CLASS_NAME            403
#define IDS_MENU_NAME             404
#define IDS_DIALOG_NAME           405
#define IDS_BROWSE_TITLE          406
#define IDS_NO_FOLDER             407
#define IDS_CANNOT_CREATE_FOLDER  408
#define IDS_CANNOT_DELETE_FOLDER  409
#define IDS_ALREADY_STARTED       410
#define IDS_ABORTING              411
#define IDS_ABORTED               412
#define IDS_FOLDER_EXISTS         413
#define IDS_STEP_FORMAT           414
#define IDS_INTRO                 415
#define IDS_FINISHED              416
#define IDS_CONTINUE_QUESTION     417
/* Texts added since: how a run ends. */
#define IDS_SCRIPT_EMPTY          418
#define IDS_SCRIPT_SHORT          419
#define IDS_WORK_FOLDER_LINK      420
#define IDS_DELETING_WORK_FILES   421
#define IDS_MORE_FAILURES         422
/* A volume that stores the fill's pattern in less room than it takes. */
#define IDS_PATTERN_STORED_SMALL  423
/* The run's progress and its summary. */
#define IDS_TIME_LEFT             424
#define IDS_SECONDS               425
#define IDS_MINUTES               426
#define IDS_MINUTES_SECONDS       427
#define IDS_HOURS_MINUTES         428
#define IDS_SUMMARY               429
#define IDS_SUMMARY_VERIFIED      430
/* Free space that the run could not reach. */
#define IDS_OUT_OF_REACH          431
/* Methods checked before anything is written; the command line and the run's report. */
#define IDS_SCRIPT_NO_STEPS       432
#define IDS_WORD_QUESTION         433
#define IDS_WORD_UNREADABLE       434
#define IDS_USAGE                 435
#define IDS_BAD_SWITCH            436
#define IDS_NO_SUCH_METHOD        437
#define IDS_START_WITHOUT_FOLDER  438
#define IDS_REPORT_FAILED         439
#define IDS_TWO_FOLDERS           440
/* Every interruption and every step tells the truth. */
#define IDS_NOTHING_TO_VERIFY     441
#define IDS_KEYWORD_QUESTION      442
#define IDS_KEYWORD_UNREADABLE    443
/* A long run: damaged sectors gone past. */
#define IDS_DAMAGED_SECTORS       444
/* Records a fleet and an auditor rely on: a report held by another program,
   a solid-state disk, a switch given twice. */
#define IDS_REPORT_ELSEWHERE      445
#define IDS_SOLID_STATE           446
#define IDS_SWITCH_TWICE          447
/* A long run goes on from the step it was in. */
#define IDS_RESUME_QUESTION       448
#define IDS_RESUME_IMPOSSIBLE     449
#define IDS_RESUME_LATER          450
#define IDS_NOTHING_TO_RESUME     451
/* English wherever Windows isn't Japanese; vanta.ini and scripts in UTF-8 or UTF-16. */
#define IDS_NO_SUCH_LANGUAGE      452
#define IDS_USAGE_LANGUAGE        453
#define IDS_METHOD_UNNAMED        454
#define IDS_LINE_NOT_SHOWN        455
#define IDS_NAME_NOT_SHOWN        456
/* The work folder belongs to the run alone, whoever else is on the PC. */
#define IDS_NAME_TAKEN            457
#define IDS_NAMES_LEFT            458
#define IDS_FOLDER_IN_USE         459
#define IDS_FOLDER_ELSEWHERE      460
#define IDS_FOLDER_FOREIGN_OWNER  461
#define IDS_FOLDER_OTHERS_WRITE   462
#define IDS_FOLDER_NOT_USED       463
#define IDS_LEFTOVERS_DELETED     464
#define IDS_RESUME_OTHER_METHOD   465
#define IDS_REPORT_IN_WORK_FOLDER 466
#define IDS_REPORT_LINK           467
#define IDS_WORK_FILE_NOT_PLAIN   468
#define IDS_WORK_FILE_LINKED      469
#define IDS_WORK_FILE_ELSEWHERE   470
#define IDS_WORK_FILE_NOT_OURS    471
#define IDS_FOLDER_EXISTS_KEPT    472
/* What holds on Windows, not only under Wine. */
#define IDS_JOURNAL_UNWRITTEN     473
/* Truth and safety, once more: long step lines, devices, files left. */
#define IDS_LINE_TOO_LONG         474
#define IDS_REPORT_DEVICE         475
#define IDS_FOLDER_DEVICE         476
#define IDS_WORK_FILE_STAYED      477

/* A fleet's first run leaves a record: the report's folder made or refused. */
#define IDS_REPORT_FOLDER_MISSING      500
#define IDS_REPORT_FOLDER_FOREIGN_OWNER 501
#define IDS_REPORT_FOLDER_OTHERS_WRITE 502
#define IDS_REPORT_FOLDER_LINK         503
#define IDS_NO_RECORD_WRITTEN          504
/* Every user can tell what happened: a folder not there, an Abort, /? and /lang. */
#define IDS_FOLDER_NOT_THERE           505
#define IDS_STOPPED_DONE               506
#define IDS_SPACE_GIVEN_BACK           507
#define IDS_USAGE_LINE                 508
#define IDS_JAPANESE_NEEDS_932         509
/* Each figure of a pass's progress with its words and unit. */
#define IDS_PROGRESS_FILL              510
#define IDS_PROGRESS_VERIFY            511
#define IDS_PROGRESS_SPEED             512
/* Where an interrupted run stopped, for the questions about it. */
#define IDS_STOPPED_AT_PASS            513
#define IDS_STOPPED_AT_STEP            514

#define IDS_FIRST                 IDS_VERSION
#define IDS_LAST                  IDS_STOPPED_AT_STEP

#endif
