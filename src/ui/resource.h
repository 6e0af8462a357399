// Resource and control ids, shared by the resource script and the code.
#pragma once

#define IDR_MAINFRAME 128
#define IDI_SHELL 4
#define IDI_SMALL16 132
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_TORVANESAFE_DIALOG 102
#define IDD_CHOOSE_WINDOWS 103
#define IDM_ABOUTBOX 0x0010

#define IDC_RESCAN 1001
#define IDC_REPAIR 1002
#define IDC_DESCRIPTION 1003
#define IDC_SELECT_ALL 1005
#define IDC_TREE 1006
#define IDC_WINDOWS_LIST 1010
#define IDC_PROFILE_LIST 1011

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
