// The "文件操作" group and the file part of "文本编辑": one file open on
// the module's disk at a time, closed, its pointer moved; names of files
// and directories. Transfers are in FileTransfers.cpp.
#include <cstdint>
#include <string>

#include "FailureText.h"
#include "Resources.h"
#include "TovrelDlg.h"
#include "protocol/DiskCommands.h"
#include "protocol/ModuleName.h"

DiskFileHandle* g_pCurrentFile = nullptr;

namespace {

const char kNoFileText[] = "请打开或创建1个文件。";
// Beside "关闭文件后可以安全拔盘。": the file may still be open.
const char kCloseUnconfirmedText[] = "模块未确认关闭文件！";

}  // namespace

bool CTovrelDlg::NameForModule(const std::string& name, const char* what, std::string* bytes) {
    const NameProblem problem = EncodeModuleName(name, bytes);
    if (problem == NameProblem::kNone) return true;
    ShowMessage(NameProblemText(problem, name, *bytes, what));
    return false;
}

void CTovrelDlg::ShowFileState(const std::string& status, uint32_t size) {
    // The two controls alone: the other fields keep what the user typed.
    m_strFileStatus = status;
    m_nFileSize = size;
    SetDlgItemText(IDC_FILE_STATUS, m_strFileStatus);
    SetDlgItemText(IDC_FILE_SIZE, std::to_string(m_nFileSize));
}

void CTovrelDlg::OnOpenCreate() {
    if (!UpdateData(true)) return;
    std::string name;
    if (!NameForModule(m_strFileName, "文件名", &name)) return;
    const bool recordFree = DiskGetFreeHandle() != nullptr;
    g_pCurrentFile = DiskOpenFile(name.c_str());
    if (g_pCurrentFile == nullptr) {
        // A file still open (nothing was sent), or the module's answer.
        ShowMessage(recordFree ? "打开文件失败！" + LastExchangeCause() : "设备不存在或文件已打开，请关闭文件再试！");
        return;
    }
    m_bCloseUnconfirmed = false;
    m_strFileStatus = "文件已打开，大小为：";
    m_nFileSize = g_pCurrentFile->size;
    UpdateData(false);
}

bool CTovrelDlg::CloseOpenFile() {
    const bool hadFile = g_pCurrentFile != nullptr;
    // The record is free afterwards whatever the module answers.
    g_pCurrentFile = nullptr;
    const uint8_t status = DiskCloseFile();
    uint8_t refusal = 0;
    const TransferEnd end = status == 0 ? TransferEnd::kDone : LastExchangeFailure(&refusal);
    // A module with no file open refuses a close (also the retry of a
    // close whose answer was lost): nothing is open then.
    if (end == TransferEnd::kDone || (end == TransferEnd::kRefused && !hadFile)) {
        m_bCloseUnconfirmed = false;
        ShowFileState(kNoFileText, 0);
        return true;
    }
    m_bCloseUnconfirmed = true;
    ShowFileState(kCloseUnconfirmedText, 0);
    ShowMessage("关闭文件失败！" + FailureCause(end, refusal) +
                "文件可能仍在U盘上打开，请勿拔盘；可再按“关闭文件”。");
    return false;
}

void CTovrelDlg::OnCloseFile() {
    if (!UpdateData(true)) return;
    CloseOpenFile();
}

void CTovrelDlg::OnSeek() {
    if (!UpdateData(true)) return;
    const int origin = ChosenSeekOrigin();
    if (origin < 0) return;
    // No file open: nothing is sent, and nothing failed.
    if (g_pCurrentFile == nullptr) return;
    if (DiskSeek(g_pCurrentFile, m_nSeekOffset, static_cast<uint8_t>(origin)) != 0)
        ShowMessage("移动文件指针失败！" + LastExchangeCause());
}

void CTovrelDlg::RunNameCommand(const std::string& name, const char* what, uint8_t (*command)(const char*),
                                const NameCommandTexts& texts) {
    std::string bytes;
    if (!NameForModule(name, what, &bytes)) return;
    if (command(bytes.c_str()) == 0) {
        ShowMessage(texts.success);
        return;
    }
    // The program's text says what a refusal may mean; it cannot mean that
    // for no answer.
    uint8_t status = 0;
    const TransferEnd end = LastExchangeFailure(&status);
    ShowMessage((end == TransferEnd::kRefused ? texts.refused : texts.failed) + FailureCause(end, status));
}

void CTovrelDlg::OnMakeDir() {
    if (!UpdateData(true)) return;
    RunNameCommand(m_strNewDirName, "目录名", DiskMakeDir,
                   {"创建目录成功!", "创建目录失败!", "创建目录失败!可能目录已存在。"});
}

void CTovrelDlg::OnSetCurrentDir() {
    if (!UpdateData(true)) return;
    RunNameCommand(m_strCurrentDir, "当前目录", DiskSetCurrentDir,
                   {"正常设置当前目录.", "设置当前目录失败！", "设置当前目录失败！"});
}

void CTovrelDlg::OnDeleteFile() {
    if (!UpdateData(true)) return;
    RunNameCommand(m_strDelFileName, "要删除的文件名", DiskDeleteFile, {"正常删除文件.", "删除文件失败！", "删除文件失败！"});
}

void CTovrelDlg::OnDeleteDir() {
    if (!UpdateData(true)) return;
    RunNameCommand(m_strDelDirName, "要删除的目录名", DiskRemoveDir, {"正常删除目录.", "删除目录失败！", "删除目录失败！"});
}
