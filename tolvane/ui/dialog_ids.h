#pragma once
// Resource and control ids of the installer's dialogs (dialogs.rc and the code that runs them).

#define IDD_TOLVANE_MAIN 130
#define IDD_TOLVANE_FILES_IN_USE 133
#define IDD_TOLVANE_LICENSE 137
#define IDD_TOLVANE_WARNING 138

#define IDC_TOLVANE_PROCESS_LIST 1004
#define IDC_TOLVANE_CLOSE_AND_RETRY 1003
#define IDC_TOLVANE_LICENSE_TEXT 1014
#define IDC_TOLVANE_WARNING_TEXT 1014
#define IDC_TOLVANE_WARNING_OPTION 1002
