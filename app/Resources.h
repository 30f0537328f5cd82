// The program's resources: dialog templates, the string table, the icon and
// the version, with the ids the code and the tests use.
#ifndef TOVREL_APP_RESOURCES_H
#define TOVREL_APP_RESOURCES_H

#include <string>

#include "DialogFramework.h"
#include "DialogTemplate.h"

constexpr int IDD_ABOUTBOX = 100;
constexpr int IDS_ABOUTBOX = 101;
constexpr int IDD_TOVREL_DIALOG = 102;
constexpr int IDR_MAINFRAME = 128;
constexpr unsigned IDM_ABOUTBOX = 0x0010;

// Controls of dialog 102.
constexpr int IDC_FILE_NAME = 1000;
constexpr int IDC_OPEN_CREATE = 1001;
constexpr int IDC_WRITE_FILE = 1002;
constexpr int IDC_SET_CURRENT_DIR = 1003;
constexpr int IDC_CLOSE_FILE = 1004;
constexpr int IDC_MAKE_DIR = 1005;
constexpr int IDC_NEW_DIR_NAME = 1006;
constexpr int IDC_DELETE_FILE = 1008;
constexpr int IDC_GET_INFO = 1009;
constexpr int IDC_YEAR = 1010;
constexpr int IDC_MONTH = 1011;
constexpr int IDC_DAY = 1012;
constexpr int IDC_HOUR = 1013;
constexpr int IDC_MINUTE = 1014;
constexpr int IDC_SECOND = 1015;
constexpr int IDC_BAUD_RATE = 1016;
constexpr int IDC_SET_PARAMS = 1017;
constexpr int IDC_WRITE_TEXT = 1019;
constexpr int IDC_READ_TEXT = 1020;
constexpr int IDC_SEEK_ORIGIN = 1021;
constexpr int IDC_SEEK_OFFSET = 1022;
constexpr int IDC_PORT = 1023;
constexpr int IDC_TEXT = 1027;
constexpr int IDC_SEEK = 1028;
constexpr int IDC_READ_FILE = 1030;
constexpr int IDC_FILE_STATUS = 1031;
constexpr int IDC_DISK_STATUS = 1032;
constexpr int IDC_FILE_SIZE = 1036;
constexpr int IDC_READ_COUNT = 1037;
constexpr int IDC_CURRENT_DIR = 1038;
constexpr int IDC_DEL_FILE_NAME = 1039;
constexpr int IDC_DEL_DIR_NAME = 1040;
constexpr int IDC_DELETE_DIR = 1041;

const DialogTemplate& MainDialogTemplate();   // 102
const DialogTemplate& AboutDialogTemplate();  // 100
// Either of them by id; null for another id.
const DialogTemplate* FindDialogTemplate(int id);

// The string table; empty for an id it does not hold.
std::string LoadResourceString(int id);

// The application's name: the caption of its message boxes.
constexpr const char* kApplicationName = "Tovrel";

// The version block's strings.
constexpr const char* kFileVersion = "1, 0, 0, 1";
constexpr const char* kVersionNumber = "1.0.0.1";
constexpr const char* kProductName = "Tovrel 应用程序";
constexpr const char* kInternalName = "Tovrel";

#endif
