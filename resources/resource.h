// Resource, control, command, message and timer ids shared by the resource
// script and the code. Plain #defines so the resource compiler reads them too.
#pragma once

#define IDD_MAIN 103
#define IDI_TRAY 104
#define IDI_APP 105
#define IDI_TRAY_FAILED 106
#define IDR_SERVER_MENU 107
#define IDR_TRAY_MENU 113
#define IDD_CLOCK_HISTORY 120

// Controls
#define IDC_SYNCHRONIZE 1
#define IDC_MINIMIZE 2
#define IDC_RESTORE_LIST 3
#define IDC_ADD_SERVER 4
#define IDC_SCHEDULE_SLIDER 108
#define IDC_OFFSET_EDIT 1001
#define IDC_STATUS_TEXT 1003
#define IDC_SCHEDULE_TEXT 1004
#define IDC_SERVER_LIST 1005
#define IDC_CLOCK_TEXT 1006

// Controls of the Clock History window
#define IDC_HISTORY_PLOT 1010
#define IDC_DRIFT_TEXT 1011
#define IDC_DRIFT_CERTAINTY 1012
#define IDC_LAST_RUN_TEXT 1013
#define IDC_ERROR_NOW_TEXT 1014
#define IDC_RATE_TEXT 1015
#define IDC_HISTORY_LIST 1016

// Commands
#define CMD_CORRECT_IF_IDLE 6
#define IDM_ADD_SERVER 108
#define IDM_DELETE_SERVER 109
#define IDM_TEST_SERVER 110
#define IDM_ENABLE_DISABLE 111
#define IDM_EDIT_SERVER 112
#define IDM_OPEN 114
#define IDM_QUIT 116
#define IDM_RESTORE_LIST 117
#define IDM_INSTALL 118
#define IDM_CLOCK_HISTORY 119

// Window messages of the main window
#define WM_TRAY_CALLBACK 0x400
#define WM_DNS_DONE 0x401
#define WM_SOCKET_EVENT 0x402
#define WM_CONFIRM_STEP 0x403

// Timers of the main window
#define TIMER_CLOCK 0
#define TIMER_EXIT 1
#define TIMER_BUSY 2
#define TIMER_SAMPLE 3
#define TIMER_RETRY 4
#define TIMER_RESUME 5
#define TIMER_HANDOVER 8  // waits for the copy in Program Files to run

// Timers of the Clock History window
#define TIMER_HISTORY_TICK 1
