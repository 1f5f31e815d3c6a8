// Identifiers of the resource fixture (fixture.rc).
#pragma once

#define IDS_ERROR 3
#define IDS_DONE 8
#define IDS_RESTART 14
#define IDS_TITLE 15
#define IDS_ONLY_IN_BLOCK 5
#define IDS_ENGLISH_BLOCK 40

#define IDD_MAIN 104
#define IDD_WAIT 107
#define IDD_VISIBLE 110
#define IDC_NAME 1001
