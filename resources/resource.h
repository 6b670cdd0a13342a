// Resource and control identifiers of Ventrix, by kind.
#pragma once

// Dialog templates
#define IDD_AGENT 101
#define IDD_CONFIGURATION 103
#define IDD_LOGIN 104
#define IDD_ABOUT 114
#define IDD_ADD_MEDIA 126
#define IDD_CHANGE_PASSWORD 140
#define IDD_TRUSTED_MEDIA 141

// Icons
#define IDI_APP 107
#define IDI_UNLOCKED 109
#define IDI_LOCKED 111
#define IDI_CDROM 133
#define IDI_REMOVABLE 134

// Menu bitmaps
#define IDB_LOCK 115
#define IDB_UNLOCK 116
#define IDB_CONFIGURATION 123
#define IDB_EXIT 125
#define IDB_ABOUT 131

// Tray menu and its commands
#define IDM_TRAY 6
#define IDM_ABOUT 40008
#define IDM_PROTECTION 40009
#define IDM_EXIT 40012
#define IDM_CONFIGURATION 40013
#define IDM_UNLOCK_5_MINUTES 40014
#define IDM_UNLOCK_15_MINUTES 40015
#define IDM_UNLOCK_1_HOUR 40016

// Controls
#define IDC_CANCEL 1000
#define IDC_OK 1001
#define IDC_PASSWORD 1002
#define IDC_DRIVES 1007
#define IDC_PRESENT_MEDIA 1007
#define IDC_MEDIA 1009
#define IDC_ADD 1012
#define IDC_DELETE 1013
#define IDC_LINK 1015
#define IDC_APPLY 1016
#define IDC_SERIAL 1019
#define IDC_LABEL 1020
#define IDC_CHANGE_PASSWORD 1021
#define IDC_CURRENT_PASSWORD 1022
#define IDC_NEW_PASSWORD 1023
#define IDC_CONFIRM_PASSWORD 1024
#define IDC_RETRY_DELAY 1030  // made at run time, not in a template
#define IDC_TRUSTED 1025
#define IDC_TRUSTED_LIST 1026
#define IDC_DRIVE_READ_ONLY 1027  // the configuration's "Read-only", for the drive last clicked
#define IDC_READ_ONLY_HELP 1028
#define IDC_ADD_READ_ONLY 1029    // Trusted Media: "Add as read-only"

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
