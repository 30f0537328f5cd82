// The "文件操作" group and the file part of "文本编辑": one file open on
// the module's disk at a time, written from a PC file or the text box, read
// back into a PC file or the text box; names of files and directories.
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ComboChoice.h"
#include "TovrelDlg.h"
#include "TransferProgress.h"
#include "pcfiles/PcFiles.h"
#include "protocol/DiskCommands.h"
#include "text/Cp936.h"

DiskFileHandle* g_pCurrentFile = nullptr;

namespace {

// Buffers are not cleared first: a large count must not touch memory the
// module never fills.
std::unique_ptr<uint8_t[]> Allocate(uint64_t size) {
    if (size > SIZE_MAX) return nullptr;
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size == 0 ? 1 : static_cast<size_t>(size)]);
}

// The PC file a disk file is saved as: its last name part, in the current
// directory, whatever directories the disk name holds.
std::string PcFileNameFor(const std::string& diskName) {
    std::string name = WithoutSurroundingBlanks(LastPathPart(diskName));
    if (name.empty() || name == "." || name == "..") return {};
    return name;
}

}  // namespace

void CTovrelDlg::WriteToOpenFile(const uint8_t* data, uint32_t length, const char* failure) {
    uint32_t total = 0;
    {
        CTransferProgress progress(this, "正在写入U盘文件……");
        total = DiskWrite(data, length, g_pCurrentFile);
    }
    // A part written is not a success: the file holds less than was meant.
    if (total == 0)
        ShowMessage(failure);
    else if (total == length)
        ShowMessage("成功写入文件!必需先关闭文件才可以拔U盘，否则数据可能丢失！");
    else
        ShowMessage("数据未被完全写入！");
}

bool CTovrelDlg::NameForModule(const std::string& name, std::string* bytes) {
    if (!Utf8ToCp936(name, bytes)) {
        ShowMessage("“" + name + "”含有代码页936无法表示的字符，未发送。");
        return false;
    }
    if (bytes->size() > kMaxDiskNameBytes) {
        ShowMessage("名称长 " + std::to_string(bytes->size()) + " 字节，超过模块所限的 " +
                    std::to_string(kMaxDiskNameBytes) + " 字节（汉字每字2字节），未发送。");
        return false;
    }
    return true;
}

void CTovrelDlg::OnOpenCreate() {
    UpdateData(true);
    std::string name;
    if (!NameForModule(m_strFileName, &name)) return;
    g_pCurrentFile = DiskOpenFile(name.c_str());
    if (g_pCurrentFile == nullptr) {
        ShowMessage("设备不存在或文件已打开，请关闭文件再试！");
        return;
    }
    m_strFileStatus = "文件已打开，大小为：";
    m_nFileSize = g_pCurrentFile->size;
    UpdateData(false);
}

void CTovrelDlg::OnWriteFile() {
    if (g_pCurrentFile == nullptr) {
        ShowMessage("请先打开或创建1个文件!");
        return;
    }
    CFileDialog dlg(true, "*.*", "*.*", 6, " Files(*.*)|.*||");
    if (dlg.DoModal() != IDOK) return;
    const std::string path = dlg.GetPathName();

    std::vector<uint8_t> data;
    std::string reason;
    switch (ReadWholePcFile(path, UINT32_MAX, &data, &reason)) {
        case PcFileRead::kOk:
            break;
        case PcFileRead::kNotRegular:
            ShowMessage(path + " 不是普通文件，未写入。");
            return;
        case PcFileRead::kTooLarge:
            ShowMessage("文件 " + path + " 超过 4 GB，U盘文件容不下。");
            return;
        case PcFileRead::kNoMemory:
            ShowMessage("内存不足，无法读入文件 " + path + "。");
            return;
        case PcFileRead::kCannotOpen:
            ShowMessage("无法打开文件 " + path + "：" + reason);
            return;
        case PcFileRead::kReadFailed:
            ShowMessage("读取文件 " + path + " 失败：" + reason);
            return;
    }
    WriteToOpenFile(data.data(), static_cast<uint32_t>(data.size()), "写入文件失败!");
}

void CTovrelDlg::OnSeek() {
    UpdateData(true);
    const int origin = ChosenSeekOrigin();
    if (origin < 0) return;
    // Nothing to report: a refused seek shows in the next read or write.
    DiskSeek(g_pCurrentFile, m_nSeekOffset, static_cast<uint8_t>(origin));
}

void CTovrelDlg::OnReadFile() {
    UpdateData(true);
    if (g_pCurrentFile == nullptr) {
        ShowMessage("请选打开或创建1个文件!");
        return;
    }
    const uint32_t size = g_pCurrentFile->size;
    std::unique_ptr<uint8_t[]> buffer = Allocate(size);
    if (buffer == nullptr) return;

    uint32_t count = 0;
    bool cancelled = false;
    {
        CTransferProgress progress(this, "正在读取U盘文件……");
        count = DiskRead(buffer.get(), size, g_pCurrentFile);
        cancelled = progress.Cancelled();
    }
    if (cancelled && count != size) {
        ShowMessage("读文件已取消，电脑上的文件未改动。");
        return;
    }
    if (count == 0) {
        ShowMessage("文件读取失败！");
        return;
    }
    if (count != size) {
        ShowMessage("读文件过程中出错!");
        return;
    }

    const std::string name = PcFileNameFor(m_strFileName);
    if (name.empty()) {
        ShowMessage("“" + m_strFileName + "”不能作PC文件名，文件未保存。");
        return;
    }
    // Written beside the old file and renamed over it only when whole: a
    // failed write leaves the old file as it was. A bare name lands in the
    // current directory.
    std::string reason;
    if (!ReplacePcFile(name, buffer.get(), size, &reason)) {
        ShowMessage("无法保存文件 " + name + "：" + reason);
        return;
    }
    ShowMessage("文件读取完成！并保存在根目录");
}

void CTovrelDlg::OnCloseFile() {
    UpdateData(true);
    g_pCurrentFile = nullptr;
    // The record is free afterwards whatever the module answers.
    DiskCloseFile();
    m_strFileStatus = "请打开或创建1个文件。";
    m_nFileSize = 0;
    UpdateData(false);
}

void CTovrelDlg::OnWriteText() {
    UpdateData(true);
    if (g_pCurrentFile == nullptr) {
        ShowMessage("请先打开或创建1个文件！");
        return;
    }
    std::string text;
    if (!Utf8ToCp936(m_strText, &text)) {
        ShowMessage("文本含有代码页936无法表示的字符，未写入。");
        return;
    }
    WriteToOpenFile(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), "写入数据失败！");
}

void CTovrelDlg::OnReadText() {
    UpdateData(true);
    if (g_pCurrentFile == nullptr) {
        ShowMessage("请先打开或创建1个文件。");
        return;
    }
    std::unique_ptr<uint8_t[]> buffer = Allocate(static_cast<uint64_t>(m_nReadCount) + 1);
    if (buffer == nullptr) {
        ShowMessage("内存不足，无法读出 " + std::to_string(m_nReadCount) + " 字节。");
        return;
    }
    uint32_t count = 0;
    {
        CTransferProgress progress(this, "正在读取U盘文件……");
        count = DiskRead(buffer.get(), m_nReadCount, g_pCurrentFile);
    }
    if (count != 0) {
        buffer[count] = 0;
        ShowMessage("数据已读出。");
        m_strText = Cp936ToUtf8Lossy(reinterpret_cast<const char*>(buffer.get()));
    } else {
        m_strText.clear();
        ShowMessage("读失败！读出数据长度为0！");
    }
    UpdateData(false);
}

void CTovrelDlg::RunNameCommand(const std::string& name, uint8_t (*command)(const char*), const char* success,
                                const char* failure) {
    std::string bytes;
    if (!NameForModule(name, &bytes)) return;
    ShowMessage(command(bytes.c_str()) == 0 ? success : failure);
}

void CTovrelDlg::OnMakeDir() {
    UpdateData(true);
    RunNameCommand(m_strNewDirName, DiskMakeDir, "创建目录成功!", "创建目录失败!可能目录已存在。");
}

void CTovrelDlg::OnSetCurrentDir() {
    UpdateData(true);
    RunNameCommand(m_strCurrentDir, DiskSetCurrentDir, "正常设置当前目录.", "设置当前目录失败！");
}

void CTovrelDlg::OnDeleteFile() {
    UpdateData(true);
    RunNameCommand(m_strDelFileName, DiskDeleteFile, "正常删除文件.", "删除文件失败！");
}

void CTovrelDlg::OnDeleteDir() {
    UpdateData(true);
    RunNameCommand(m_strDelDirName, DiskRemoveDir, "正常删除目录.", "删除目录失败！");
}
