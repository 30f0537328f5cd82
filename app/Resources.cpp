#include "Resources.h"

#include <iterator>

namespace {

using K = ControlKind;

// Template 102, in dialog units; tab order as listed.
const ControlTemplate kMainControls[] = {
    {kNoId, K::kGroupBox, "文件操作", 163, 5, 150, 265},
    {kNoId, K::kLabel, "文件名", 170, 20, 32, 10},
    {IDC_FILE_NAME, K::kEdit, "", 202, 18, 104, 13},
    {IDC_OPEN_CREATE, K::kButton, "打开/创建", 170, 36, 54, 14},
    {IDC_CLOSE_FILE, K::kButton, "关闭文件", 170, 60, 54, 14},
    {kNoId, K::kLabel, "关闭文件后可以安全拔盘。", 228, 59, 78, 18},
    {IDC_WRITE_FILE, K::kButton, "写文件", 170, 84, 54, 14},
    {kNoId, K::kLabel, "选择一个文件写入U盘。", 228, 83, 78, 18},
    {IDC_READ_FILE, K::kButton, "读文件", 170, 108, 54, 14},
    {kNoId, K::kLabel, "读出文件，并保存在当前目录。", 228, 107, 78, 18},
    {kNoId, K::kLabel, "文件名：", 170, 146, 34, 10},
    {IDC_DEL_FILE_NAME, K::kEdit, "", 204, 144, 46, 13},
    {IDC_DELETE_FILE, K::kButton, "删除文件", 252, 143, 54, 14},
    {kNoId, K::kLabel, "当前目录", 170, 176, 34, 10},
    {IDC_CURRENT_DIR, K::kEdit, "", 204, 174, 46, 13},
    {IDC_SET_CURRENT_DIR, K::kButton, "设置当前目录", 252, 173, 54, 14},
    {kNoId, K::kLabel, "目录名：", 170, 206, 34, 10},
    {IDC_DEL_DIR_NAME, K::kEdit, "", 204, 204, 46, 13},
    {IDC_DELETE_DIR, K::kButton, "删除目录", 252, 203, 54, 14},
    {kNoId, K::kLabel, "目录名：", 170, 236, 34, 10},
    {IDC_NEW_DIR_NAME, K::kEdit, "", 204, 234, 46, 13},
    {IDC_MAKE_DIR, K::kButton, "创建目录", 252, 233, 54, 14},

    {kNoId, K::kGroupBox, "  系统信息  ", 7, 5, 150, 118},
    {kNoId, K::kLabel, "串  口:", 14, 20, 30, 10},
    {IDC_PORT, K::kDropDownCombo, "", 46, 18, 52, 13},
    {kNoId, K::kLabel, "波特率:", 14, 36, 30, 10},
    {IDC_BAUD_RATE, K::kDropDownCombo, "", 46, 34, 52, 13},
    {IDC_GET_INFO, K::kButton, "获取", 106, 17, 42, 14},
    {IDC_SET_PARAMS, K::kButton, "设置", 106, 33, 42, 14},
    {kNoId, K::kLabel, "系统时钟:  20", 14, 56, 56, 10},
    {IDC_YEAR, K::kEdit, "", 70, 54, 16, 13},
    {kNoId, K::kLabel, "年", 87, 56, 9, 10},
    {IDC_MONTH, K::kEdit, "", 96, 54, 16, 13},
    {kNoId, K::kLabel, "月", 113, 56, 9, 10},
    {IDC_DAY, K::kEdit, "", 122, 54, 16, 13},
    {kNoId, K::kLabel, "日", 139, 56, 9, 10},
    {IDC_HOUR, K::kEdit, "", 70, 70, 16, 13},
    {kNoId, K::kLabel, "时", 87, 72, 9, 10},
    {IDC_MINUTE, K::kEdit, "", 96, 70, 16, 13},
    {kNoId, K::kLabel, "分", 113, 72, 9, 10},
    {IDC_SECOND, K::kEdit, "", 122, 70, 16, 13},
    {kNoId, K::kLabel, "秒", 139, 72, 9, 10},
    {IDC_DISK_STATUS, K::kStatus, "点击\"获取\"设备信息", 14, 90, 136, 10},
    {IDC_FILE_STATUS, K::kStatus, "无打开文件", 14, 106, 80, 10},
    {IDC_FILE_SIZE, K::kEdit, "", 94, 104, 38, 13},
    {kNoId, K::kLabel, "字节", 134, 106, 16, 10},

    {kNoId, K::kGroupBox, "文本编辑", 7, 127, 150, 143},
    {IDC_TEXT, K::kMultiLineEdit, "", 14, 140, 136, 56},
    {IDC_WRITE_TEXT, K::kButton, "写入", 14, 202, 30, 14},
    {IDC_READ_TEXT, K::kButton, "读出", 47, 202, 30, 14},
    {kNoId, K::kLabel, "读字节数：", 81, 204, 40, 10},
    {IDC_READ_COUNT, K::kEdit, "", 121, 202, 29, 13},
    {kNoId, K::kLabel, "指针偏移类型", 14, 224, 50, 10},
    {IDC_SEEK_ORIGIN, K::kDropDownCombo, "", 64, 222, 58, 13},
    {IDC_SEEK, K::kButton, "GO", 126, 221, 24, 14},
    {kNoId, K::kLabel, "偏移量", 14, 244, 28, 10},
    {IDC_SEEK_OFFSET, K::kEdit, "", 42, 242, 56, 13},
    {kNoId, K::kLabel, "(负数为返向)", 42, 257, 64, 10},
};

const ControlTemplate kAboutControls[] = {
    {IDR_MAINFRAME, K::kIcon, "", 11, 17, 21, 20},
    {kNoId, K::kLabel, "Tovrel 1.0 版", 40, 10, 119, 8},
    {IDOK, K::kDefaultButton, "确定", 178, 7, 50, 14},
};

const DialogTemplate kMainDialog = {IDD_TOVREL_DIALOG, "Tovrel Haverlund", 320, 275, "宋体", 9, true,
                                    kMainControls, std::size(kMainControls)};
const DialogTemplate kAboutDialog = {IDD_ABOUTBOX, "关于 Tovrel", 235, 55, "宋体", 9, false,
                                     kAboutControls, std::size(kAboutControls)};

}  // namespace

const DialogTemplate& MainDialogTemplate() { return kMainDialog; }
const DialogTemplate& AboutDialogTemplate() { return kAboutDialog; }

const DialogTemplate* FindDialogTemplate(int id) {
    if (id == IDD_TOVREL_DIALOG) return &kMainDialog;
    if (id == IDD_ABOUTBOX) return &kAboutDialog;
    return nullptr;
}

std::string LoadResourceString(int id) {
    if (id == IDS_ABOUTBOX) return "关于 Tovrel(&A)...";
    return {};
}

bool TakesFocus(ControlKind kind) {
    switch (kind) {
        case ControlKind::kEdit:
        case ControlKind::kMultiLineEdit:
        case ControlKind::kButton:
        case ControlKind::kDefaultButton:
        case ControlKind::kDropDownCombo:
            return true;
        default:
            return false;
    }
}
