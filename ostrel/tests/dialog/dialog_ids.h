#pragma once
// Resource ids of the test dialogs.
#define IDD_MAIN 101
#define IDD_FLEX 102
#define IDD_MARKUP 103
#define IDD_MODAL 104

#define IDC_LIST 1001
#define IDC_ADD 1002
#define IDC_OPTIMIZE 1003
#define IDC_RECOVER 1004
#define IDC_DELETE 1005
#define IDC_REFRESH 1006
#define IDC_ABOUT 1007
#define IDC_UNTOUCHED 1400
#define IDC_COMBO 1300
#define IDC_STAGE 1500
#define IDC_PROGRESS 1501
#define IDC_STATIC_TEXT 1600
#define IDC_FIELD_LABEL 1100
#define IDC_FIELD_EDIT 1200
