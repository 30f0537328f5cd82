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
const QString kSaved = QStringLiteral("文件读取完成！并保存在根目录\n");  // then the path
const QString kReplace = QStringLiteral("电脑上已有 ");
const QString kNothingLeft = QStringLiteral("文件指针已在文件末尾，没有数据可读。要从头读，先以“从始端移”、偏移量0按“GO”。");

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
    // 读文件 over a PC file of that name: asked first, answered `choice`;
    // the boxes after the question.
    QStringList ReadFileOver(const QString& pcName, const QString& choice) {
        m_answerer.choices = {choice};
        QStringList shown = Click(IDC_READ_FILE);
        EXPECT_EQ(shown.value(0), kReplace + PcPath(pcName) + QStringLiteral("。\n用U盘上的文件替换它吗？"));
        if (!shown.isEmpty()) shown.removeFirst();
        return shown;
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
    // The size shown is what the module reports after the write.
    EXPECT_EQ(Shown(IDC_FILE_SIZE), QStringLiteral("1000"));

    // The second chunk cut to 400 bytes: 912 of 1000.
    SimFault cut;
    cut.kind = SimFault::kShortWrite;
    cut.value = 400;
    cut.nth = 2;
    m_module->ArmFault(cut);
    EXPECT_EQ(WriteFileChoosing(QStringLiteral("data.bin")), QStringList{QStringLiteral("数据未被完全写入！")});
    EXPECT_EQ(DiskFile("/Norvatil.TXT").size(), 1000 + 912);
    EXPECT_EQ(Shown(IDC_FILE_SIZE), QStringLiteral("1912"));
}

TEST_F(FilePanelTest, ReadFileAsksBeforeReplacingAnOldOneThenSavesTheWholeFile) {
    const QByteArray data = Pattern(1300);
    ASSERT_TRUE(m_module->WriteDiskFile("/Norvatil.TXT", ToVector(data)));
    WritePcFile(QStringLiteral("Norvatil.TXT"), "an old PC file");
    OpenDiskFile(QStringLiteral("Norvatil.TXT"));
    EXPECT_EQ(ReadFileOver(QStringLiteral("Norvatil.TXT"), QStringLiteral("取消")), QStringList());
    EXPECT_EQ(ReadPcFile(QStringLiteral("Norvatil.TXT")), QByteArray("an old PC file"));
    EXPECT_TRUE(RequestsOf(0x30).empty());
    EXPECT_EQ(ReadFileOver(QStringLiteral("Norvatil.TXT"), QStringLiteral("替换")),
              QStringList{kSaved + PcPath(QStringLiteral("Norvatil.TXT"))});
    EXPECT_EQ(ReadPcFile(QStringLiteral("Norvatil.TXT")), data);
    EXPECT_EQ(RequestsOf(0x30).size(), 4u);  // the short last chunk confirmed by an empty one
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
    EXPECT_EQ(ReadFileOver(QStringLiteral("Norvatil.TXT"), QStringLiteral("替换")),
              QStringList{QStringLiteral("读文件过程中出错!模块没有应答。")});
    EXPECT_EQ(ReadPcFile(QStringLiteral("Norvatil.TXT")), QByteArray("keep me"));

    SimFault silent;
    silent.kind = SimFault::kSilent;
    m_module->ArmFault(silent);
    EXPECT_EQ(ReadFileOver(QStringLiteral("Norvatil.TXT"), QStringLiteral("替换")),
              QStringList{QStringLiteral("文件读取失败！模块没有应答。")});
    EXPECT_EQ(ReadPcFile(QStringLiteral("Norvatil.TXT")), QByteArray("keep me"));
    EXPECT_EQ(QDir(PcPath(QString())).entryList(QDir::Files), QStringList{QStringLiteral("Norvatil.TXT")});
}

TEST_F(FilePanelTest, ReadFileReadsFromThePointerToTheEndOfTheFileAsItIsNow) {
    OpenDiskFile(QStringLiteral("FRESH.TXT"));
    EXPECT_EQ(Click(IDC_READ_FILE), QStringList{kNothingLeft});  // new and empty
    Type(IDC_TEXT, QStringLiteral("hello"));
    EXPECT_EQ(Click(IDC_WRITE_TEXT), QStringList{kWriteOk});
    EXPECT_EQ(Click(IDC_READ_FILE), QStringList{kNothingLeft});  // the pointer after the write
    EXPECT_EQ(ReadPcFile(QStringLiteral("FRESH.TXT")), QByteArray("<missing>"));
    EXPECT_EQ(Click(IDC_SEEK), QStringList());  // to the start
    EXPECT_EQ(Click(IDC_READ_FILE), QStringList{kSaved + PcPath(QStringLiteral("FRESH.TXT"))});
    EXPECT_EQ(ReadPcFile(QStringLiteral("FRESH.TXT")), QByteArray("hello"));
    EXPECT_EQ(ReadFileOver(QStringLiteral("FRESH.TXT"), QStringLiteral("替换")), QStringList{kNothingLeft});
    EXPECT_EQ(ReadPcFile(QStringLiteral("FRESH.TXT")), QByteArray("hello"));
}

TEST_F(FilePanelTest, ADiskNameWithDirectoriesIsSavedUnderItsLastPartHere) {
    ASSERT_EQ(Click(IDC_MAKE_DIR), QStringList{QStringLiteral("创建目录成功!")});  // USB_HOST
    ASSERT_TRUE(m_module->WriteDiskFile("/USB_HOST/LOG.CSV", ToVector("1,2,3\r\n")));
    OpenDiskFile(QStringLiteral("USB_HOST/LOG.CSV"));
    EXPECT_EQ(Click(IDC_READ_FILE), QStringList{kSaved + PcPath(QStringLiteral("LOG.CSV"))});
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
    EXPECT_EQ(Click(IDC_READ_TEXT), QStringList{QStringLiteral("数据已读出。已到文件末尾，共读出 11 字节。")});
    EXPECT_EQ(Shown(IDC_TEXT), QStringLiteral("温度\nAB"));
    EXPECT_EQ(m_dlg->m_strText, "温度\r\nAB");

    // At the end now: nothing more to read, which is no failure.
    EXPECT_EQ(Click(IDC_READ_TEXT), QStringList{kNothingLeft});
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

    // A refused seek says so.
    SimFault refuse;
    refuse.kind = SimFault::kStatus;
    refuse.value = 8;
    m_module->ArmFault(refuse);
    EXPECT_EQ(Click(IDC_SEEK), QStringList{QStringLiteral("移动文件指针失败！模块拒绝了请求（状态 8）。")});
}

TEST_F(FilePanelTest, ReadTextShowsEveryByteThatCameAShortLastChunkIncluded) {
    const struct {
        int size;
        int count;
        const char* said;
    } kReads[] = {
        {966, 2000, "数据已读出。已到文件末尾，共读出 966 字节。"},
        {8, 1000, "数据已读出。已到文件末尾，共读出 8 字节。"},
        {1024, 1024, "数据已读出。"},
    };
    for (const auto& read : kReads) {
        SCOPED_TRACE(read.size);
        ASSERT_TRUE(m_module->WriteDiskFile("/R.TXT", std::vector<uint8_t>(static_cast<size_t>(read.size), 'r')));
        OpenDiskFile(QStringLiteral("R.TXT"));
        Type(IDC_READ_COUNT, QString::number(read.count));
        EXPECT_EQ(Click(IDC_READ_TEXT), QStringList{QString::fromUtf8(read.said)});
        EXPECT_EQ(Shown(IDC_TEXT), QString(read.size, QLatin1Char('r')));
        ASSERT_EQ(Click(IDC_CLOSE_FILE), QStringList());
    }
}

TEST_F(FilePanelTest, DirectoryAndDeleteButtonsReportTheModulesAnswer) {
    EXPECT_EQ(Click(IDC_MAKE_DIR), QStringList{QStringLiteral("创建目录成功!")});
    EXPECT_TRUE(m_module->DiskDirectoryExists("/USB_HOST"));
    // A refusal carries the module's status (the simulator's: 2 exists, 1
    // not found, 3 not empty).
    EXPECT_EQ(Click(IDC_MAKE_DIR), QStringList{QStringLiteral("创建目录失败!可能目录已存在。模块拒绝了请求（状态 2）。")});

    Type(IDC_CURRENT_DIR, QStringLiteral("USB_HOST"));
    EXPECT_EQ(Click(IDC_SET_CURRENT_DIR), QStringList{QStringLiteral("正常设置当前目录.")});
    Type(IDC_CURRENT_DIR, QStringLiteral("NOWHERE"));
    EXPECT_EQ(Click(IDC_SET_CURRENT_DIR), QStringList{QStringLiteral("设置当前目录失败！模块拒绝了请求（状态 1）。")});

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
    EXPECT_EQ(Click(IDC_DELETE_DIR), QStringList{QStringLiteral("删除目录失败！模块拒绝了请求（状态 3）。")});
    Type(IDC_CURRENT_DIR, QStringLiteral("数据"));
    EXPECT_EQ(Click(IDC_SET_CURRENT_DIR), QStringList{QStringLiteral("正常设置当前目录.")});
    Type(IDC_DEL_FILE_NAME, QStringLiteral("A.TXT"));
    EXPECT_EQ(Click(IDC_DELETE_FILE), QStringList{QStringLiteral("正常删除文件.")});
    EXPECT_EQ(Click(IDC_DELETE_FILE), QStringList{QStringLiteral("删除文件失败！模块拒绝了请求（状态 1）。")});
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
        {QString(), QStringLiteral("请先输入")},  // as the fields of 删除 and 当前目录 start
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
    for (const QString& name : {QStringLiteral("ü한"), QString()}) {
        for (int id : {IDC_NEW_DIR_NAME, IDC_FILE_NAME}) Type(id, name);
        for (int button : {IDC_MAKE_DIR, IDC_OPEN_CREATE})
            EXPECT_TRUE(Click(button).value(0).contains(name.isEmpty() ? QStringLiteral("请先输入") : name));
    }
    QTest::qWait(50);
    EXPECT_TRUE(m_module->Requests().empty());
}

TEST_F(FilePanelTest, NoAnswerShowsEachButtonsFailureTextAndSaysSo) {
    OpenDiskFile(QStringLiteral("Norvatil.TXT"));
    WritePcFile(QStringLiteral("data.bin"), Pattern(10));
    Type(IDC_TEXT, QStringLiteral("x"));
    Type(IDC_READ_COUNT, QStringLiteral("10"));
    m_answerer.files = {PcPath(QStringLiteral("data.bin"))};
    SimFault silent;
    silent.kind = SimFault::kSilent;
    silent.repeat = true;
    m_module->ArmFault(silent);
    const struct {
        int button;
        const char* said;
    } kButtons[] = {
        {IDC_WRITE_FILE, "写入文件失败!模块没有应答。"},
        {IDC_WRITE_TEXT, "写入数据失败！模块没有应答。"},
        {IDC_READ_TEXT, "读失败！模块没有应答。"},
        {IDC_SEEK, "移动文件指针失败！模块没有应答。"},
        {IDC_MAKE_DIR, "创建目录失败!模块没有应答。"},
        {IDC_CLOSE_FILE, "关闭文件失败！模块没有应答。文件可能仍在U盘上打开，请勿拔盘；可再按“关闭文件”。"},
        {IDC_OPEN_CREATE, "打开文件失败！模块没有应答。"},
    };
    for (const auto& button : kButtons) EXPECT_EQ(Click(button.button), QStringList{QString::fromUtf8(button.said)});
    // The file is not shown as safely closed.
    EXPECT_EQ(Shown(IDC_FILE_STATUS), QStringLiteral("模块未确认关闭文件！"));
}

TEST_F(FilePanelTest, ARefusedCloseIsToldAndOneWithNoFileOpenIsNot) {
    OpenDiskFile(QStringLiteral("Norvatil.TXT"));
    SimFault refuse;
    refuse.kind = SimFault::kStatus;
    refuse.value = 6;
    m_module->ArmFault(refuse);
    EXPECT_EQ(Click(IDC_CLOSE_FILE),
              QStringList{QStringLiteral("关闭文件失败！模块拒绝了请求（状态 6）。文件可能仍在U盘上打开，请勿拔盘；可再按“关闭文件”。")});
    EXPECT_EQ(Shown(IDC_FILE_STATUS), QStringLiteral("模块未确认关闭文件！"));
    // Pressed again, it closes the file the module kept open; once more,
    // the module has none and refuses, which loses nothing.
    EXPECT_EQ(Click(IDC_CLOSE_FILE), QStringList());
    EXPECT_EQ(Shown(IDC_FILE_STATUS), QStringLiteral("请打开或创建1个文件。"));
    EXPECT_EQ(Click(IDC_CLOSE_FILE), QStringList());
    EXPECT_EQ(RequestsOf(0x12).size(), 3u);
}

TEST_F(FilePanelTest, EscAndTheCloseBoxAskFirstWhileAFileIsOpen) {
    const struct {
        bool closeBox;  // else Esc
        const char* choice;
        bool ends;
        size_t closes;  // close requests sent
    } kCases[] = {
        {false, "取消", false, 0},
        {true, "保持打开", true, 0},
        {false, "关闭文件", true, 1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.choice);
        OpenWindow();
        ASSERT_EQ(Click(IDC_CLOSE_FILE), QStringList());  // whatever the case before left open
        OpenDiskFile(QStringLiteral("Norvatil.TXT"));
        m_module->ClearRequests();
        m_answerer.choices = {QString::fromUtf8(c.choice)};
        EXPECT_EQ(Answering([this, &c] {
                      if (c.closeBox)
                          Window()->close();
                      else
                          QTest::keyClick(Window(), Qt::Key_Escape);
                  }),
                  QStringList{QStringLiteral("U盘上的文件还开着。退出前关闭它吗？")});
        EXPECT_EQ(m_answerer.boxes.back().buttons,
                  (QStringList{QStringLiteral("关闭文件"), QStringLiteral("保持打开"), QStringLiteral("取消")}));
        EXPECT_EQ(Window()->isVisible(), !c.ends);
        EXPECT_EQ(RequestsOf(0x12).size(), c.closes);
        g_pCurrentFile = nullptr;  // as a new start finds it
    }
}

TEST_F(FilePanelTest, AnExitWhoseCloseIsNotAnsweredSaysSoAndStays) {
    OpenDiskFile(QStringLiteral("Norvatil.TXT"));
    SimFault silent;
    silent.kind = SimFault::kSilent;
    m_module->ArmFault(silent);
    m_answerer.choices = {QStringLiteral("关闭文件")};
    const QStringList shown = Answering([this] { QTest::keyClick(Window(), Qt::Key_Escape); });
    EXPECT_EQ(shown.value(1).left(14), QStringLiteral("关闭文件失败！模块没有应答。"));
    EXPECT_TRUE(Window()->isVisible());
    // Asked again, for the file that may still be open; left so, it ends.
    m_answerer.choices = {QStringLiteral("保持打开")};
    EXPECT_EQ(Answering([this] { QTest::keyClick(Window(), Qt::Key_Escape); }),
              QStringList{QStringLiteral("模块未确认关闭文件，文件可能还开着。退出前再关闭一次吗？")});
    EXPECT_FALSE(Window()->isVisible());
}

}  // namespace
