// The file and directory buttons against the simulated module: each with
// its success and failure texts, the bytes that reach the disk and the PC
// files that come back.
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTest>

#include "WindowTest.h"
#include "app/Resources.h"

namespace {

const QString kWriteOk = QStringLiteral("成功写入文件!必需先关闭文件才可以拔U盘，否则数据可能丢失！");
const QString kOpenFailed = QStringLiteral("设备不存在或文件已打开，请关闭文件再试！");
const QString kSaved = QStringLiteral("文件读取完成！并保存在根目录");

QByteArray Pattern(int n) {
    QByteArray bytes(n, '\0');
    for (int i = 0; i < n; ++i) bytes[i] = static_cast<char>('A' + i % 26);
    return bytes;
}

std::vector<uint8_t> ToVector(const QByteArray& bytes) { return std::vector<uint8_t>(bytes.begin(), bytes.end()); }

class FilePanelTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        StartModule();
        OpenWindow();
    }
    // Opens (or creates) a disk file through the window.
    void OpenDiskFile(const QString& name) {
        Type(IDC_FILE_NAME, name);
        ASSERT_EQ(Click(IDC_OPEN_CREATE), QStringList());
        ASSERT_EQ(Shown(IDC_FILE_STATUS), QStringLiteral("文件已打开，大小为："));
    }
    QByteArray DiskFile(const std::string& path) const {
        std::vector<uint8_t> contents;
        if (!m_module->ReadDiskFile(path, &contents)) return "<missing>";
        return QByteArray(reinterpret_cast<const char*>(contents.data()), static_cast<qsizetype>(contents.size()));
    }
    QStringList WriteFileChoosing(const QString& pcName) {
        m_answerer.files = {pcName.isEmpty() ? QString() : PcPath(pcName)};
        return Click(IDC_WRITE_FILE);
    }
};

TEST_F(FilePanelTest, OpenCreatesShowsTheSizeAndASecondOpenIsRefusedUntilClose) {
    ASSERT_TRUE(m_module->WriteDiskFile("/OLD.TXT", std::vector<uint8_t>(1234, 'o')));
    OpenDiskFile(QStringLiteral("OLD.TXT"));
    EXPECT_EQ(Shown(IDC_FILE_SIZE), QStringLiteral("1234"));

    EXPECT_EQ(Click(IDC_OPEN_CREATE), QStringList{kOpenFailed});
    EXPECT_EQ(Shown(IDC_FILE_SIZE), QStringLiteral("1234"));  // a failed open leaves them
    EXPECT_EQ(Shown(IDC_FILE_STATUS), QStringLiteral("文件已打开，大小为："));
    // The panel has no file now, though the module keeps its own open.
    EXPECT_EQ(Click(IDC_WRITE_FILE), QStringList{QStringLiteral("请先打开或创建1个文件!")});
    EXPECT_TRUE(m_answerer.fileDialogs.isEmpty());

    EXPECT_EQ(Click(IDC_CLOSE_FILE), QStringList());
    EXPECT_EQ(Shown(IDC_FILE_STATUS), QStringLiteral("请打开或创建1个文件。"));
    EXPECT_EQ(Shown(IDC_FILE_SIZE), QStringLiteral("0"));
    OpenDiskFile(QStringLiteral("NEW.TXT"));
    EXPECT_EQ(Shown(IDC_FILE_SIZE), QStringLiteral("0"));
    EXPECT_EQ(DiskFile("/NEW.TXT"), QByteArray());
    // Close with nothing open still ends in the no-file state, silently.
    EXPECT_EQ(Click(IDC_CLOSE_FILE), QStringList());
    EXPECT_EQ(Click(IDC_CLOSE_FILE), QStringList());
}

TEST_F(FilePanelTest, WithNoFileEveryDataButtonRefusesAndGoSendsNothing) {
    EXPECT_EQ(Click(IDC_WRITE_FILE), QStringList{QStringLiteral("请先打开或创建1个文件!")});
    EXPECT_EQ(Click(IDC_READ_FILE), QStringList{QStringLiteral("请选打开或创建1个文件!")});
    EXPECT_EQ(Click(IDC_WRITE_TEXT), QStringList{QStringLiteral("请先打开或创建1个文件！")});
    EXPECT_EQ(Click(IDC_READ_TEXT), QStringList{QStringLiteral("请先打开或创建1个文件。")});
    EXPECT_EQ(Click(IDC_SEEK), QStringList());
    QTest::qWait(50);
    EXPECT_TRUE(m_module->Requests().empty());
}

TEST_F(FilePanelTest, WriteFileSendsThePcFileWholeAndReportsEmptyAndShortWrites) {
    OpenDiskFile(QStringLiteral("Norvatil.TXT"));
    const QByteArray data = Pattern(1000);
    WritePcFile(QStringLiteral("data.bin"), data);
    WritePcFile(QStringLiteral("empty.bin"), QByteArray());

    // Cancelled: nothing sent, nothing shown.
    m_module->ClearRequests();
    EXPECT_EQ(WriteFileChoosing(QString()), QStringList());
    EXPECT_EQ(m_answerer.fileDialogs, QStringList{QStringLiteral("FileOpenDialog")});
    EXPECT_TRUE(m_module->Requests().empty());

    EXPECT_EQ(WriteFileChoosing(QStringLiteral("empty.bin")), QStringList{QStringLiteral("写入文件失败!")});
    EXPECT_EQ(WriteFileChoosing(QStringLiteral("data.bin")), QStringList{kWriteOk});
    EXPECT_EQ(RequestsOf(0x20).size(), 2u);  // 512 + 488
    EXPECT_EQ(DiskFile("/Norvatil.TXT"), data);
    // Writes do not change the size shown (the size at open).
    EXPECT_EQ(Shown(IDC_FILE_SIZE), QStringLiteral("0"));

    // The second chunk cut to 400 bytes: 912 of 1000.
    SimFault cut;
    cut.kind = SimFault::kShortWrite;
    cut.value = 400;
    cut.nth = 2;
    m_module->ArmFault(cut);
    EXPECT_EQ(WriteFileChoosing(QStringLiteral("data.bin")), QStringList{QStringLiteral("数据未被完全写入！")});
    EXPECT_EQ(DiskFile("/Norvatil.TXT").size(), 1000 + 912);
}

TEST_F(FilePanelTest, ReadFileSavesTheWholeFileAndReplacesAnOldOne) {
    const QByteArray data = Pattern(1300);
    ASSERT_TRUE(m_module->WriteDiskFile("/Norvatil.TXT", ToVector(data)));
    WritePcFile(QStringLiteral("Norvatil.TXT"), "an old PC file");
    OpenDiskFile(QStringLiteral("Norvatil.TXT"));
    EXPECT_EQ(Click(IDC_READ_FILE), QStringList{kSaved});
    EXPECT_EQ(ReadPcFile(QStringLiteral("Norvatil.TXT")), data);
    EXPECT_EQ(RequestsOf(0x30).size(), 3u);
    // Nothing but the file is left beside it.
    EXPECT_EQ(QDir(PcPath(QString())).entryList(QDir::Files), QStringList{QStringLiteral("Norvatil.TXT")});
}

TEST_F(FilePanelTest, AReadThatFailsLeavesTheOldPcFileAsItWas) {
    ASSERT_TRUE(m_module->WriteDiskFile("/Norvatil.TXT", ToVector(Pattern(1300))));
    WritePcFile(QStringLiteral("Norvatil.TXT"), "keep me");
    OpenDiskFile(QStringLiteral("Norvatil.TXT"));

    SimFault silentSecond;
    silentSecond.kind = SimFault::kSilent;
    silentSecond.nth = 2;
    m_module->ArmFault(silentSecond);
    EXPECT_EQ(Click(IDC_READ_FILE), QStringList{QStringLiteral("读文件过程中出错!")});
    EXPECT_EQ(ReadPcFile(QStringLiteral("Norvatil.TXT")), QByteArray("keep me"));

    SimFault silent;
    silent.kind = SimFault::kSilent;
    m_module->ArmFault(silent);
    EXPECT_EQ(Click(IDC_READ_FILE), QStringList{QStringLiteral("文件读取失败！")});
    EXPECT_EQ(ReadPcFile(QStringLiteral("Norvatil.TXT")), QByteArray("keep me"));
}

TEST_F(FilePanelTest, ReadFileOfANewFileFailsEvenAfterWritingIntoIt) {
    OpenDiskFile(QStringLiteral("FRESH.TXT"));
    EXPECT_EQ(Click(IDC_READ_FILE), QStringList{QStringLiteral("文件读取失败！")});
    Type(IDC_TEXT, QStringLiteral("hello"));
    EXPECT_EQ(Click(IDC_WRITE_TEXT), QStringList{kWriteOk});
    EXPECT_EQ(Click(IDC_READ_FILE), QStringList{QStringLiteral("文件读取失败！")});  // size at open: 0
    EXPECT_EQ(ReadPcFile(QStringLiteral("FRESH.TXT")), QByteArray("<missing>"));
}

TEST_F(FilePanelTest, ADiskNameWithDirectoriesIsSavedUnderItsLastPartHere) {
    ASSERT_EQ(Click(IDC_MAKE_DIR), QStringList{QStringLiteral("创建目录成功!")});  // USB_HOST
    ASSERT_TRUE(m_module->WriteDiskFile("/USB_HOST/LOG.CSV", ToVector("1,2,3\r\n")));
    OpenDiskFile(QStringLiteral("USB_HOST/LOG.CSV"));
    EXPECT_EQ(Click(IDC_READ_FILE), QStringList{kSaved});
    EXPECT_EQ(ReadPcFile(QStringLiteral("LOG.CSV")), QByteArray("1,2,3\r\n"));
    EXPECT_FALSE(QDir(PcPath(QStringLiteral("USB_HOST"))).exists());
}

TEST_F(FilePanelTest, WriteTextSendsCodePage936WithCrLfAndRefusesWhatItCannotHold) {
    OpenDiskFile(QStringLiteral("Norvatil.TXT"));
    EXPECT_EQ(Click(IDC_WRITE_TEXT), QStringList{QStringLiteral("写入数据失败！")});  // empty text box

    Type(IDC_TEXT, QStringLiteral("温度 21\n湿度 40"));
    EXPECT_EQ(Click(IDC_WRITE_TEXT), QStringList{kWriteOk});
    EXPECT_EQ(DiskFile("/Norvatil.TXT"), QByteArray("\xCE\xC2\xB6\xC8 21\r\n\xCA\xAA\xB6\xC8 40"));

    m_module->ClearRequests();
    Type(IDC_TEXT, QStringLiteral("한국"));  // Hangul has no code in 936
    const QStringList shown = Click(IDC_WRITE_TEXT);
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].contains(QStringLiteral("936"))) << qPrintable(shown[0]);
    EXPECT_TRUE(m_module->Requests().empty());
}

TEST_F(FilePanelTest, ReadTextShowsTheBytesUpToAZeroAndAnEmptyBoxForNothing) {
    QByteArray contents("\xCE\xC2\xB6\xC8\r\nAB", 8);
    contents.append('\0');
    contents.append("CD");
    ASSERT_TRUE(m_module->WriteDiskFile("/Norvatil.TXT", ToVector(contents)));
    OpenDiskFile(QStringLiteral("Norvatil.TXT"));

    Type(IDC_READ_COUNT, QStringLiteral("100"));  // the module has 11
    EXPECT_EQ(Click(IDC_READ_TEXT), QStringList{QStringLiteral("数据已读出。")});
    EXPECT_EQ(Shown(IDC_TEXT), QStringLiteral("温度\nAB"));
    EXPECT_EQ(m_dlg->m_strText, "温度\r\nAB");

    // At the end now: nothing more to read.
    EXPECT_EQ(Click(IDC_READ_TEXT), QStringList{QStringLiteral("读失败！读出数据长度为0！")});
    EXPECT_EQ(Shown(IDC_TEXT), QString());

    Type(IDC_READ_COUNT, QStringLiteral("0"));
    Type(IDC_TEXT, QStringLiteral("stale"));
    EXPECT_EQ(Click(IDC_READ_TEXT), QStringList{QStringLiteral("读失败！读出数据长度为0！")});
    EXPECT_EQ(Shown(IDC_TEXT), QString());
}

TEST_F(FilePanelTest, GoMovesThePointerFromEachOrigin) {
    ASSERT_TRUE(m_module->WriteDiskFile("/Norvatil.TXT", ToVector("0123456789")));
    OpenDiskFile(QStringLiteral("Norvatil.TXT"));
    Type(IDC_READ_COUNT, QStringLiteral("4"));

    Type(IDC_SEEK_OFFSET, QStringLiteral("3"));
    EXPECT_EQ(Click(IDC_SEEK), QStringList());
    Click(IDC_READ_TEXT);
    EXPECT_EQ(Shown(IDC_TEXT), QStringLiteral("3456"));

    ChooseItem(IDC_SEEK_ORIGIN, 1);  // from the current position, backwards
    Type(IDC_SEEK_OFFSET, QStringLiteral("-6"));
    Click(IDC_SEEK);
    Click(IDC_READ_TEXT);
    EXPECT_EQ(Shown(IDC_TEXT), QStringLiteral("1234"));

    ChooseItem(IDC_SEEK_ORIGIN, 2);
    Type(IDC_SEEK_OFFSET, QStringLiteral("-2"));
    Click(IDC_SEEK);
    Click(IDC_READ_TEXT);
    EXPECT_EQ(Shown(IDC_TEXT), QStringLiteral("89"));
    const auto seeks = RequestsOf(0x40);
    ASSERT_EQ(seeks.size(), 3u);
    EXPECT_EQ(seeks[2], (std::vector<uint8_t>{0x55, 0x3A, 0x40, seeks[2][3], 0x05, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0x02}));

    // A refused seek shows nothing either.
    SimFault refuse;
    refuse.kind = SimFault::kStatus;
    refuse.value = 8;
    m_module->ArmFault(refuse);
    EXPECT_EQ(Click(IDC_SEEK), QStringList());
}

TEST_F(FilePanelTest, DirectoryAndDeleteButtonsReportTheModulesAnswer) {
    EXPECT_EQ(Click(IDC_MAKE_DIR), QStringList{QStringLiteral("创建目录成功!")});
    EXPECT_TRUE(m_module->DiskDirectoryExists("/USB_HOST"));
    EXPECT_EQ(Click(IDC_MAKE_DIR), QStringList{QStringLiteral("创建目录失败!可能目录已存在。")});

    Type(IDC_CURRENT_DIR, QStringLiteral("USB_HOST"));
    EXPECT_EQ(Click(IDC_SET_CURRENT_DIR), QStringList{QStringLiteral("正常设置当前目录.")});
    Type(IDC_CURRENT_DIR, QStringLiteral("NOWHERE"));
    EXPECT_EQ(Click(IDC_SET_CURRENT_DIR), QStringList{QStringLiteral("设置当前目录失败！")});

    // A Chinese name travels in code page 936 and lands as the same name.
    Type(IDC_NEW_DIR_NAME, QStringLiteral("数据"));
    EXPECT_EQ(Click(IDC_MAKE_DIR), QStringList{QStringLiteral("创建目录成功!")});
    EXPECT_TRUE(m_module->DiskDirectoryExists("/USB_HOST/数据"));
    const auto makes = RequestsOf(0x50);
    ASSERT_FALSE(makes.empty());
    const QByteArray sent(reinterpret_cast<const char*>(makes.back().data()), static_cast<qsizetype>(makes.back().size()));
    EXPECT_TRUE(sent.contains("\xCA\xFD\xBE\xDD")) << sent.toHex().constData();

    ASSERT_TRUE(m_module->WriteDiskFile("/USB_HOST/数据/A.TXT", ToVector("a")));
    Type(IDC_DEL_DIR_NAME, QStringLiteral("数据"));
    EXPECT_EQ(Click(IDC_DELETE_DIR), QStringList{QStringLiteral("删除目录失败！")});  // not empty
    Type(IDC_CURRENT_DIR, QStringLiteral("数据"));
    EXPECT_EQ(Click(IDC_SET_CURRENT_DIR), QStringList{QStringLiteral("正常设置当前目录.")});
    Type(IDC_DEL_FILE_NAME, QStringLiteral("A.TXT"));
    EXPECT_EQ(Click(IDC_DELETE_FILE), QStringList{QStringLiteral("正常删除文件.")});
    EXPECT_EQ(Click(IDC_DELETE_FILE), QStringList{QStringLiteral("删除文件失败！")});
    Type(IDC_CURRENT_DIR, QStringLiteral("/USB_HOST"));
    EXPECT_EQ(Click(IDC_SET_CURRENT_DIR), QStringList{QStringLiteral("正常设置当前目录.")});
    EXPECT_EQ(Click(IDC_DELETE_DIR), QStringList{QStringLiteral("正常删除目录.")});
    EXPECT_FALSE(m_module->DiskDirectoryExists("/USB_HOST/数据"));
}

TEST_F(FilePanelTest, ANameTheModuleCannotTakeIsRefusedUnsentAndSaysWhy) {
    m_module->ClearRequests();
    const struct {
        QString name;
        QString said;  // in the box
    } kNames[] = {
        {QStringLiteral("ü한"), QStringLiteral("ü한")},
        // 128 Chinese characters are 256 bytes; the edits that have no limit of 100.
        {QString(128, QChar(0x6570)), QStringLiteral("256 字节，超过模块所限的 255 字节")},
        {QString(256, QLatin1Char('a')), QStringLiteral("256 字节，超过模块所限的 255 字节")},
    };
    const int kFields[] = {IDC_CURRENT_DIR, IDC_DEL_FILE_NAME, IDC_DEL_DIR_NAME};
    const int kButtons[] = {IDC_SET_CURRENT_DIR, IDC_DELETE_FILE, IDC_DELETE_DIR};
    for (const auto& name : kNames) {
        for (int id : kFields) Type(id, name.name);
        for (int button : kButtons) {
            const QStringList shown = Click(button);
            ASSERT_EQ(shown.size(), 1) << button;
            EXPECT_TRUE(shown[0].contains(name.said)) << button << qPrintable(shown[0]);
        }
    }
    for (int id : {IDC_NEW_DIR_NAME, IDC_FILE_NAME}) Type(id, QStringLiteral("ü한"));
    for (int button : {IDC_MAKE_DIR, IDC_OPEN_CREATE}) EXPECT_TRUE(Click(button).value(0).contains(QStringLiteral("ü한")));
    QTest::qWait(50);
    EXPECT_TRUE(m_module->Requests().empty());
}

TEST_F(FilePanelTest, NoAnswerShowsEachButtonsFailureText) {
    OpenDiskFile(QStringLiteral("Norvatil.TXT"));
    WritePcFile(QStringLiteral("data.bin"), Pattern(10));
    SimFault silent;
    silent.kind = SimFault::kSilent;
    silent.repeat = true;
    m_module->ArmFault(silent);
    EXPECT_EQ(WriteFileChoosing(QStringLiteral("data.bin")), QStringList{QStringLiteral("写入文件失败!")});
    Type(IDC_TEXT, QStringLiteral("x"));
    EXPECT_EQ(Click(IDC_WRITE_TEXT), QStringList{QStringLiteral("写入数据失败！")});
    EXPECT_EQ(Click(IDC_MAKE_DIR), QStringList{QStringLiteral("创建目录失败!可能目录已存在。")});
    EXPECT_EQ(Click(IDC_CLOSE_FILE), QStringList());
    EXPECT_EQ(Click(IDC_OPEN_CREATE), QStringList{kOpenFailed});
}

}  // namespace
