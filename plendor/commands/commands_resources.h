#pragma once
// Resource ids of the commands' dialogs, shared by commands.rc and the code.

#define IDD_RESULT 103
#define IDD_ABOUT 108
#define IDD_PROGRESS 109
#define IDR_LOGO_PNG 105

#define IDC_TEXT_PLACE 1004
#define IDC_PROGRESS_BAR 1011
#define IDC_LOGO_PLACE 1017
#define IDC_SECOND_TEXT_PLACE 1019
