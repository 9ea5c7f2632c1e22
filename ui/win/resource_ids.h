// Resource and control IDs of the window's dialogs, which app/win's resource script lays out.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDR_MAINFRAME 128
#define IDD_PAGE_BT 129
#define IDD_PAGE_USB 130
#define IDD_PAGE_WIFI 131

// Main window.
#define IDC_BT 1000
#define IDC_USB 1001
#define IDC_WIFI 1002
#define IDC_COMM_PORT 1003
#define IDC_PATH 1004
#define IDC_BROWSE 1005
#define IDC_UPDATE 1006
#define IDC_OUTPUT 1007
#define IDC_CLEAR 1008
#define IDC_READ 1009
#define IDC_PROGRESS 1013
#define IDC_STATUS 1014
#define IDC_LATEST 1015

// Connection pages.
#define IDC_PORT_NAME 1009
#define IDC_REFRESH 1010
#define IDC_BAUDRATE 1011
#define IDC_IP_ADDRESS 1011
#define IDC_IP_PORT 1012

// System menu command of the About item.
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
