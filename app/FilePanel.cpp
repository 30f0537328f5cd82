// The "文件操作" group and the file part of "文本编辑": one file open on
// the module's disk at a time, written from a PC file or the text box, read
// back into a PC file or the text box; names of files and directories.
#include <QComboBox>
#include <QDir>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Cp936Text.h"
#include "FileOpenDialog.h"
#include "TovrelDlg.h"
#include "TransferProgressWindow.h"
#include "pcfiles/PcFiles.h"
#include "protocol/DiskCommands.h"

DiskFileHandle* g_pCurrentFile = nullptr;

namespace {

const QString kWriteSucceeded = QStringLiteral("成功写入文件!必需先关闭文件才可以拔U盘，否则数据可能丢失！");

// Buffers are not cleared first: a large count must not touch memory the
// module never fills.
std::unique_ptr<uint8_t[]> Allocate(uint64_t size) {
    if (size > SIZE_MAX) return nullptr;
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size == 0 ? 1 : static_cast<size_t>(size)]);
}

// The PC file a disk file is saved as: its last name part, in the current
// directory, whatever directories the disk name holds.
QString PcFileNameFor(const QString& diskName) {
    const qsizetype slash = qMax(diskName.lastIndexOf(QLatin1Char('/')), diskName.lastIndexOf(QLatin1Char('\\')));
    QString name = diskName.mid(slash + 1).trimmed();
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return {};
    return name;
}

}  // namespace

bool CTovrelDlg::NameForModule(const QString& name, QByteArray* bytes) {
    if (EncodeCp936(name, bytes)) return true;
    ShowMessage(QStringLiteral("“%1”含有代码页936无法表示的字符，未发送。").arg(name));
    return false;
}

void CTovrelDlg::OnOpenCreate() {
    UpdateData(true);
    QByteArray name;
    if (!NameForModule(m_strFileName, &name)) return;
    g_pCurrentFile = DiskOpenFile(name.constData());
    if (g_pCurrentFile == nullptr) {
        ShowMessage(QStringLiteral("设备不存在或文件已打开，请关闭文件再试！"));
        return;
    }
    m_strFileStatus = QStringLiteral("文件已打开，大小为：");
    m_nFileSize = g_pCurrentFile->size;
    UpdateData(false);
}

void CTovrelDlg::OnWriteFile() {
    if (g_pCurrentFile == nullptr) {
        ShowMessage(QStringLiteral("请先打开或创建1个文件!"));
        return;
    }
    const QString path = ChooseFileToOpen(this);
    if (path.isEmpty()) return;

    std::vector<uint8_t> data;
    std::string reason;
    switch (ReadWholePcFile(path.toStdString(), UINT32_MAX, &data, &reason)) {
        case PcFileRead::kOk:
            break;
        case PcFileRead::kNotRegular:
            ShowMessage(QStringLiteral("%1 不是普通文件，未写入。").arg(path));
            return;
        case PcFileRead::kTooLarge:
            ShowMessage(QStringLiteral("文件 %1 超过 4 GB，U盘文件容不下。").arg(path));
            return;
        case PcFileRead::kNoMemory:
            ShowMessage(QStringLiteral("内存不足，无法读入文件 %1。").arg(path));
            return;
        case PcFileRead::kCannotOpen:
            ShowMessage(QStringLiteral("无法打开文件 %1：%2").arg(path, QString::fromStdString(reason)));
            return;
        case PcFileRead::kReadFailed:
            ShowMessage(QStringLiteral("读取文件 %1 失败：%2").arg(path, QString::fromStdString(reason)));
            return;
    }
    const auto length = static_cast<uint32_t>(data.size());

    uint32_t total = 0;
    {
        TransferProgressWindow progress(this, QStringLiteral("正在写入U盘文件……"));
        total = DiskWrite(data.data(), length, g_pCurrentFile);
    }
    if (total == 0)
        ShowMessage(QStringLiteral("写入文件失败!"));
    else if (total == length)
        ShowMessage(kWriteSucceeded);
    else
        ShowMessage(QStringLiteral("数据未被完全写入！"));
}

void CTovrelDlg::OnSeek() {
    UpdateData(true);
    const auto origin = static_cast<uint8_t>(qMin(SelectedIndex(m_cbSeekOrigin), 2));
    // Nothing to report: a refused seek shows in the next read or write.
    DiskSeek(g_pCurrentFile, m_nSeekOffset, origin);
}

void CTovrelDlg::OnReadFile() {
    UpdateData(true);
    if (g_pCurrentFile == nullptr) {
        ShowMessage(QStringLiteral("请选打开或创建1个文件!"));
        return;
    }
    const uint32_t size = g_pCurrentFile->size;
    std::unique_ptr<uint8_t[]> buffer = Allocate(size);
    if (buffer == nullptr) return;

    uint32_t count = 0;
    {
        TransferProgressWindow progress(this, QStringLiteral("正在读取U盘文件……"));
        count = DiskRead(buffer.get(), size, g_pCurrentFile);
    }
    if (count == 0) {
        ShowMessage(QStringLiteral("文件读取失败！"));
        return;
    }
    if (count != size) {
        ShowMessage(QStringLiteral("读文件过程中出错!"));
        return;
    }

    const QString name = PcFileNameFor(m_strFileName);
    if (name.isEmpty()) {
        ShowMessage(QStringLiteral("“%1”不能作PC文件名，文件未保存。").arg(m_strFileName));
        return;
    }
    // Written beside the old file and renamed over it only when whole: a
    // failed write leaves the old file as it was.
    const QString pcPath = QDir::current().filePath(name);
    std::string reason;
    if (!ReplacePcFile(pcPath.toStdString(), buffer.get(), size, &reason)) {
        ShowMessage(QStringLiteral("无法保存文件 %1：%2").arg(QDir::toNativeSeparators(pcPath), QString::fromStdString(reason)));
        return;
    }
    ShowMessage(QStringLiteral("文件读取完成！并保存在根目录"));
}

void CTovrelDlg::OnCloseFile() {
    UpdateData(true);
    g_pCurrentFile = nullptr;
    // The record is free afterwards whatever the module answers.
    DiskCloseFile();
    m_strFileStatus = QStringLiteral("请打开或创建1个文件。");
    m_nFileSize = 0;
    UpdateData(false);
}

void CTovrelDlg::OnWriteText() {
    UpdateData(true);
    if (g_pCurrentFile == nullptr) {
        ShowMessage(QStringLiteral("请先打开或创建1个文件！"));
        return;
    }
    QByteArray text;
    if (!EncodeCp936(m_strText, &text)) {
        ShowMessage(QStringLiteral("文本含有代码页936无法表示的字符，未写入。"));
        return;
    }
    uint32_t total = 0;
    {
        TransferProgressWindow progress(this, QStringLiteral("正在写入U盘文件……"));
        total = DiskWrite(reinterpret_cast<const uint8_t*>(text.constData()), static_cast<uint32_t>(text.size()),
                          g_pCurrentFile);
    }
    // A part written is not a success: the file holds less than the text.
    const auto length = static_cast<uint32_t>(text.size());
    if (total == 0)
        ShowMessage(QStringLiteral("写入数据失败！"));
    else if (total == length)
        ShowMessage(kWriteSucceeded);
    else
        ShowMessage(QStringLiteral("数据未被完全写入！"));
}

void CTovrelDlg::OnReadText() {
    UpdateData(true);
    if (g_pCurrentFile == nullptr) {
        ShowMessage(QStringLiteral("请先打开或创建1个文件。"));
        return;
    }
    std::unique_ptr<uint8_t[]> buffer = Allocate(static_cast<uint64_t>(m_nReadCount) + 1);
    if (buffer == nullptr) {
        ShowMessage(QStringLiteral("内存不足，无法读出 %1 字节。").arg(m_nReadCount));
        return;
    }
    uint32_t count = 0;
    {
        TransferProgressWindow progress(this, QStringLiteral("正在读取U盘文件……"));
        count = DiskRead(buffer.get(), m_nReadCount, g_pCurrentFile);
    }
    if (count != 0) {
        buffer[count] = 0;
        ShowMessage(QStringLiteral("数据已读出。"));
        m_strText = DecodeCp936(QByteArray(reinterpret_cast<const char*>(buffer.get())));
    } else {
        m_strText.clear();
        ShowMessage(QStringLiteral("读失败！读出数据长度为0！"));
    }
    UpdateData(false);
}

void CTovrelDlg::RunNameCommand(const QString& name, uint8_t (*command)(const char*), const char* success,
                                const char* failure) {
    QByteArray bytes;
    if (!NameForModule(name, &bytes)) return;
    ShowMessage(QString::fromUtf8(command(bytes.constData()) == 0 ? success : failure));
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
