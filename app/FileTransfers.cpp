// The open file's data: written from a PC file or the text box, read back
// into a PC file or the text box, through the one transfer engine
// (protocol/DiskTransfer.h), so that a file ends where the module says.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ComboChoice.h"
#include "FailureText.h"
#include "TovrelDlg.h"
#include "TransferProgress.h"
#include "pcfiles/PcFiles.h"
#include "protocol/DiskCommands.h"
#include "protocol/DiskTransfer.h"
#include "text/Cp936.h"

namespace {

const char kWriteOk[] = "成功写入文件!必需先关闭文件才可以拔U盘，否则数据可能丢失！";
// The pointer at the end is no failure: a write or an earlier read left it
// there.
const char kNothingLeft[] = "文件指针已在文件末尾，没有数据可读。要从头读，先以“从始端移”、偏移量0按“GO”。";

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

void CTovrelDlg::RefreshFileSize() {
    DeviceInfo info{};
    if (DiskGetInfo(&info) && info.fileHandle != 0xFF) ShowFileState(m_strFileStatus, info.fileSize);
}

void CTovrelDlg::WriteToOpenFile(const uint8_t* data, uint32_t length, const char* failure) {
    TransferResult result;
    {
        CTransferProgress progress(this, "正在写入U盘文件……");
        DiskWrite(data, length, g_pCurrentFile, &result);
    }
    // The file grew: the size field shows what the module holds now (the
    // size at open is stale), when the line is in step to ask.
    if (result.moved != 0 && !result.exchangeFailed()) RefreshFileSize();
    // A part written is not a success: the file holds less than was meant.
    if (result.moved == 0)
        ShowMessage(failure + TransferCause(result));
    else if (result.moved == length)
        ShowMessage(kWriteOk);
    else
        ShowMessage("数据未被完全写入！" + TransferCause(result));
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

void CTovrelDlg::OnWriteText() {
    if (!UpdateData(true)) return;
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

void CTovrelDlg::OnReadFile() {
    if (!UpdateData(true)) return;
    if (g_pCurrentFile == nullptr) {
        ShowMessage("请选打开或创建1个文件!");
        return;
    }
    const std::string name = PcFileNameFor(m_strFileName);
    if (name.empty()) {
        ShowMessage("“" + m_strFileName + "”不能作PC文件名，文件未保存。");
        return;
    }
    const std::string path = AbsolutePcPath(name);
    if (PcPathTaken(path) && AskQuestion("电脑上已有 " + path + "。\n用U盘上的文件替换它吗？", {"替换", "取消"}, 1) != 0)
        return;
    // Written beside the old file and renamed over it only when whole: a
    // failed or cancelled read leaves the old file as it was.
    PcFileWriter writer;
    std::string error;
    if (!writer.Begin(path, &error)) {
        ShowMessage("无法保存文件 " + path + "：" + error);
        return;
    }
    TransferResult result;
    {
        CTransferProgress progress(this, "正在读取U盘文件……");
        // From the pointer to the end of the file as the module has it now,
        // in chunks: the size shown is only the progress's estimate.
        result = ReadFromDisk(g_pCurrentFile, 0, UINT32_MAX, false, std::max<uint32_t>(m_nFileSize, 1),
                              [&](const uint8_t* data, size_t size) { return writer.Write(data, size, &error); });
    }
    if (result.end == TransferEnd::kSinkFailed) {
        ShowMessage("无法保存文件 " + path + "：" + error);
    } else if (result.end == TransferEnd::kStopped) {
        ShowMessage("读文件已取消，电脑上的文件未改动。");
    } else if (!result.ok()) {
        ShowMessage((result.moved == 0 ? "文件读取失败！" : "读文件过程中出错!") + TransferCause(result));
    } else if (result.moved == 0) {
        ShowMessage(kNothingLeft);
    } else if (!writer.Commit(&error)) {
        ShowMessage("无法保存文件 " + path + "：" + error);
    } else {
        ShowMessage("文件读取完成！并保存在根目录\n" + path);
    }
}

void CTovrelDlg::OnReadText() {
    if (!UpdateData(true)) return;
    if (g_pCurrentFile == nullptr) {
        ShowMessage("请先打开或创建1个文件。");
        return;
    }
    std::unique_ptr<uint8_t[]> buffer = Allocate(static_cast<uint64_t>(m_nReadCount) + 1);
    if (buffer == nullptr) {
        ShowMessage("内存不足，无法读出 " + std::to_string(m_nReadCount) + " 字节。");
        return;
    }
    TransferResult result;
    {
        CTransferProgress progress(this, "正在读取U盘文件……");
        DiskRead(buffer.get(), m_nReadCount, g_pCurrentFile, &result);
    }
    // Every byte that came shows, a short last chunk's included: the
    // module's pointer has moved past them.
    const uint32_t count = static_cast<uint32_t>(result.moved);
    buffer[count] = 0;
    m_strText = Cp936ToUtf8Lossy(reinterpret_cast<const char*>(buffer.get()));
    const std::string read = "读出 " + std::to_string(count) + " 字节后";
    if (result.end == TransferEnd::kStopped)
        ShowMessage("数据已读出。" + read + "已取消。");
    else if (!result.ok())
        ShowMessage("读失败！" + (count == 0 ? std::string() : read) + TransferCause(result));
    else if (count == 0)
        ShowMessage(result.endOfFile ? kNothingLeft : "读失败！读出数据长度为0！");
    else if (count < m_nReadCount)
        ShowMessage("数据已读出。已到文件末尾，共读出 " + std::to_string(count) + " 字节。");
    else
        ShowMessage("数据已读出。");
    UpdateData(false);
}
