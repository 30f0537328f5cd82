// The "系统信息" group against a module on pseudo-terminals: 获取 answered
// at once, with the port-and-rate search, and 设置.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QTest>

#include "WindowTest.h"
#include "app/DataExchange.h"
#include "app/Resources.h"
#include "serial/SerialChannel.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/ScriptedPeer.h"

namespace {

const QString kOpened = QStringLiteral("打开设备成功!");
const QString kSearching = QStringLiteral("轮询COM口和波特率!");
const QString kNoResponse = QStringLiteral("设备没响应！请查设备是否连接，串口及波特率设置是否正确！");
const QString kDiskIn = QStringLiteral("有1个U盘在下行口。");
const QString kNoDisk = QStringLiteral("请插入U盘！");
const QString kOpenAFile = QStringLiteral("请打开/创建文件！");
const QString kFileOpen = QStringLiteral("已打开1个文件！");

// A search's find names where.
QString FoundAt(const QString& port, int rate) { return kOpened + QStringLiteral("\n模块在%1（%2）。").arg(port).arg(rate); }

Bytes StatusAnswer(const Bytes& report) {
    Bytes out(6 + report.size());
    out[0] = 0x53;
    out[1] = 0x3A;
    out[4] = static_cast<uint8_t>(report.size());
    for (size_t i = 0; i < report.size(); ++i) out[6 + i] = report[i];
    return out;
}

using ConnectionPanelTest = WindowTest;

TEST_F(ConnectionPanelTest, ADirectAnswerFillsTheFieldsAndTakesTheModulesRate) {
    PtyPeer com1;
    com1.ExportAs(1);
    OpenWindow();
    // The module reports rate index 4 (38400) and an open file of 4096 bytes.
    ScriptedPeer module(&com1);
    module.Play({{6, StatusAnswer({0x04, 0x07, 0x0C, 0x1F, 0x17, 0x3B, 0x3A, 0x01, 0x02, 0x00, 0x10, 0x00, 0x00, 0x00})}});
    EXPECT_EQ(Click(IDC_GET_INFO), QStringList{kOpened});
    EXPECT_EQ(module.Finish().at(0), (Bytes{0x55, 0x3A, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("38400"));
    EXPECT_EQ(Shown(IDC_PORT), QStringLiteral("串口1"));
    const int clock[] = {IDC_YEAR, IDC_MONTH, IDC_DAY, IDC_HOUR, IDC_MINUTE, IDC_SECOND};
    const char* values[] = {"07", "12", "31", "23", "59", "58"};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(Shown(clock[i]), QString::fromLatin1(values[i])) << clock[i];
    EXPECT_EQ(Shown(IDC_DISK_STATUS), kDiskIn);
    EXPECT_EQ(Shown(IDC_FILE_STATUS), kFileOpen);
    EXPECT_EQ(Shown(IDC_FILE_SIZE), QStringLiteral("4096"));
    // Choosing the combo's rate does not reopen the channel: it stays at 9600.
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 9600);

    // A rate index beyond the list leaves the combo as it is.
    module.Play({{6, StatusAnswer({0x09, 0x07, 0x0C, 0x1F, 0x17, 0x3B, 0x3A, 0x01, 0xFF, 0, 0, 0, 0, 0})}});
    EXPECT_EQ(Click(IDC_GET_INFO), QStringList{kOpened});
    module.Finish();
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("38400"));
    EXPECT_EQ(Shown(IDC_FILE_STATUS), kOpenAFile);
    EXPECT_EQ(Shown(IDC_FILE_SIZE), QStringLiteral("0"));
}

TEST_F(ConnectionPanelTest, WithoutADiskTheFileTextKeepsItsWording) {
    SimConfig config;
    config.diskPresent = false;
    StartModule(config);
    OpenWindow();
    m_dlg->m_strFileStatus = "请打开或创建1个文件。";
    m_dlg->m_nFileSize = 77;
    m_dlg->UpdateData(false);
    EXPECT_EQ(Click(IDC_GET_INFO), QStringList{kOpened});
    EXPECT_EQ(Shown(IDC_DISK_STATUS), kNoDisk);
    EXPECT_EQ(Shown(IDC_FILE_STATUS), QStringLiteral("请打开或创建1个文件。"));
    EXPECT_EQ(Shown(IDC_FILE_SIZE), QStringLiteral("0"));
}

TEST_F(ConnectionPanelTest, TheSimulatedModulesOwnFileShowsWithItsSize) {
    ModuleSimulator& module = StartModule();
    ASSERT_TRUE(module.WriteDiskFile("/Norvatil.TXT", std::vector<uint8_t>(300, 'x')));
    OpenWindow();
    EXPECT_EQ(Click(IDC_OPEN_CREATE), QStringList());
    EXPECT_EQ(Click(IDC_GET_INFO), QStringList{kOpened});
    EXPECT_EQ(Shown(IDC_DISK_STATUS), kDiskIn);
    EXPECT_EQ(Shown(IDC_FILE_STATUS), kFileOpen);
    EXPECT_EQ(Shown(IDC_FILE_SIZE), QStringLiteral("300"));
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("9600"));
}

TEST_F(ConnectionPanelTest, SearchFindsTheModuleOnlyAtCom2And38400WhileCom1IsSilent) {
    PtyPeer com1;  // a port with nothing behind it
    com1.ExportAs(1);
    SimConfig config;
    config.rate = 38400;
    ModuleSimulator com2(config);
    std::string error;
    ASSERT_TRUE(com2.Start(&error)) << error;
    setenv("TOVREL_COM2", com2.SlavePath().c_str(), 1);
    EXPECT_EQ(OpenWindow(), QStringList());

    EXPECT_EQ(Click(IDC_GET_INFO), (QStringList{kSearching, FoundAt(QStringLiteral("串口2"), 38400)}));
    // The direct request and eight rates on COM1, each a status request.
    const Bytes heard = com1.ReadUntilQuiet(50);
    EXPECT_EQ(heard.size(), 9u * 6u);
    // On COM2 only the fifth rate was heard.
    EXPECT_EQ(com2.Requests().size(), 1u);
    EXPECT_EQ(Shown(IDC_PORT), QStringLiteral("串口2"));
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("38400"));
    EXPECT_EQ(Shown(IDC_DISK_STATUS), kDiskIn);
    EXPECT_EQ(Shown(IDC_FILE_STATUS), kOpenAFile);
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM2");
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 38400);
    // The channel stays where the module answered: the next 获取 is direct.
    EXPECT_EQ(Click(IDC_GET_INFO), QStringList{kOpened});
}

TEST_F(ConnectionPanelTest, SearchSkipsAnAbsentCom1AndReportsNoDiskFromTheSearch) {
    SimConfig config;
    config.rate = 38400;
    config.diskPresent = false;
    ModuleSimulator com2(config);
    std::string error;
    ASSERT_TRUE(com2.Start(&error)) << error;
    setenv("TOVREL_COM2", com2.SlavePath().c_str(), 1);
    EXPECT_EQ(OpenWindow(), QStringList{QStringLiteral("打开串口失败!")});

    EXPECT_EQ(Click(IDC_GET_INFO), (QStringList{kSearching, FoundAt(QStringLiteral("串口2"), 38400)}));
    EXPECT_EQ(Shown(IDC_PORT), QStringLiteral("串口2"));
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("38400"));
    EXPECT_EQ(Shown(IDC_DISK_STATUS), kNoDisk);
    // After a search the file text follows the handle even without a disk.
    EXPECT_EQ(Shown(IDC_FILE_STATUS), kOpenAFile);
}

TEST_F(ConnectionPanelTest, SearchWithNeitherPortGivesUpAndChangesNothing) {
    OpenWindow();
    EXPECT_EQ(Click(IDC_GET_INFO), (QStringList{kSearching, kNoResponse}));
    EXPECT_EQ(Shown(IDC_PORT), QStringLiteral("串口1"));
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("9600"));
    EXPECT_EQ(Shown(IDC_DISK_STATUS), QStringLiteral("点击\"获取\"设备信息"));
    EXPECT_EQ(Shown(IDC_YEAR), QStringLiteral("05"));
    EXPECT_EQ(theSerialChannel.m_hComm, nullptr);
}

TEST_F(ConnectionPanelTest, SetSendsAtTheOldRateAndTheChannelFollowsToTheNew) {
    ModuleSimulator& module = StartModule();
    OpenWindow();
    ChooseItem(IDC_BAUD_RATE, 6);  // 57600
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 9600);
    Type(IDC_YEAR, QStringLiteral("26"));
    Type(IDC_MONTH, QStringLiteral("3"));
    Type(IDC_DAY, QStringLiteral("14"));
    Type(IDC_HOUR, QStringLiteral("9"));
    Type(IDC_MINUTE, QStringLiteral("26"));
    Type(IDC_SECOND, QStringLiteral("53"));
    EXPECT_EQ(Click(IDC_SET_PARAMS), QStringList{QStringLiteral("设置成功!当前参数已更新。")});
    ASSERT_EQ(RequestsOf(0x01).size(), 1u);
    EXPECT_EQ(RequestsOf(0x01)[0], (std::vector<uint8_t>{0x55, 0x3A, 0x01, 0x00, 0x07, 0x00, 6, 26, 3, 14, 9, 26, 53}));
    EXPECT_EQ(module.Rate(), 57600u);
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 57600);
    // The module answers at the new rate, with the clock it was given.
    EXPECT_EQ(Click(IDC_GET_INFO), QStringList{kOpened});
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("57600"));
    EXPECT_EQ(Shown(IDC_YEAR), QStringLiteral("26"));
    EXPECT_EQ(Shown(IDC_MONTH), QStringLiteral("3"));
}

TEST_F(ConnectionPanelTest, AFieldTheExchangeRefusesStopsItsButtonAndNothingIsSent) {
    ModuleSimulator& module = StartModule();
    ASSERT_TRUE(module.WriteDiskFile("/KEEP.TXT", AsBytes("keep")));
    OpenWindow();
    Type(IDC_DEL_FILE_NAME, QStringLiteral("KEEP.TXT"));
    const struct {
        int field;
        const char* typed;
        int button;
        std::string said;
    } kCases[] = {
        {IDC_MONTH, "13", IDC_SET_PARAMS, RangeMessage(1, 12)},
        {IDC_HOUR, "99", IDC_DELETE_FILE, RangeMessage(0, 23)},
        {IDC_SEEK_OFFSET, "12x", IDC_SEEK, ParseIntMessage()},
        {IDC_DAY, "32", IDC_WRITE_TEXT, RangeMessage(0, 31)},
        {IDC_YEAR, "100", IDC_GET_INFO, RangeMessage(0, 99)},
        {IDC_SECOND, "60", IDC_OPEN_CREATE, RangeMessage(0, 59)},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.typed);
        const QString before = Shown(c.field);
        Type(c.field, QString::fromUtf8(c.typed));
        EXPECT_EQ(Click(c.button), QStringList{QString::fromStdString(c.said)});
        EXPECT_EQ(Window()->focusWidget(), Item(c.field));
        Type(c.field, before);
    }
    EXPECT_TRUE(module.Requests().empty());
    std::vector<uint8_t> kept;
    EXPECT_TRUE(module.ReadDiskFile("/KEEP.TXT", &kept));
}

TEST_F(ConnectionPanelTest, ARefusedOrUnansweredSetSaysSoAndLeavesTheChannel) {
    ModuleSimulator& module = StartModule();
    OpenWindow();
    Click(IDC_GET_INFO);  // the line in step: the faults meet the set requests
    ChooseItem(IDC_BAUD_RATE, 7);
    SimFault refuse;
    refuse.kind = SimFault::kStatus;
    refuse.value = 9;
    module.ArmFault(refuse);
    EXPECT_EQ(Click(IDC_SET_PARAMS), QStringList{QStringLiteral("设置失败!模块拒绝了请求（状态 9）。")});
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 9600);
    EXPECT_EQ(module.Rate(), 9600u);
    SimFault silent;
    silent.kind = SimFault::kSilent;
    module.ArmFault(silent);
    EXPECT_EQ(Click(IDC_SET_PARAMS), QStringList{QStringLiteral("设置失败!模块没有应答。")});
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 9600);
}

TEST_F(ConnectionPanelTest, AStatusRequestRefusedSaysTheModuleIsThereAndSearchesNothing) {
    ModuleSimulator& module = StartModule();
    OpenWindow();
    Click(IDC_GET_INFO);  // the line in step: the fault meets the next request
    module.ClearRequests();
    SimFault refuse;
    refuse.kind = SimFault::kStatus;
    refuse.value = 10;
    module.ArmFault(refuse);
    EXPECT_EQ(Click(IDC_GET_INFO),
              QStringList{QStringLiteral("获取设备信息失败！模块拒绝了请求（状态 10）。模块在串口1（9600）有应答，未查找其他串口。")});
    EXPECT_EQ(module.Requests().size(), 1u);
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM1");
}

TEST_F(ConnectionPanelTest, TypedTextIsTheItemItNamesElseItIsRefusedWithNothingSent) {
    ModuleSimulator& module = StartModule();
    OpenWindow();
    // No completion: "1" stays "1", and names no item.
    Type(IDC_BAUD_RATE, QStringLiteral("1"));
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("1"));
    const struct {
        int combo;
        const char* typed;
        int button;
        const char* refusalNames;  // in the box; null: taken, shown as `item`
        const char* item;
    } kCases[] = {
        {IDC_BAUD_RATE, "12345", IDC_SET_PARAMS, "“12345”不是可选的波特率", nullptr},
        {IDC_BAUD_RATE, "1440", IDC_GET_INFO, "4800、9600、14400", nullptr},
        {IDC_PORT, "COM9", IDC_GET_INFO, "“COM9”不是可选的串口", nullptr},
        {IDC_PORT, "串口3", IDC_OPEN_CREATE, "COM1、COM2", nullptr},
        {IDC_SEEK_ORIGIN, "2", IDC_SEEK, "从始端移、从当前移、从末端移", nullptr},
        {IDC_PORT, " com1 ", IDC_GET_INFO, nullptr, "串口1"},
        {IDC_BAUD_RATE, " 9600\t", IDC_GET_INFO, nullptr, "9600"},
        {IDC_PORT, "串口1", IDC_GET_INFO, nullptr, "串口1"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.typed);
        const size_t requests = module.Requests().size();
        const HANDLE open = theSerialChannel.m_hComm;
        Type(c.combo, QString::fromUtf8(c.typed));
        const QStringList boxes = Click(c.button);
        if (c.refusalNames != nullptr) {
            ASSERT_EQ(boxes.size(), 1) << qPrintable(boxes.join('|'));
            EXPECT_TRUE(boxes[0].contains(QString::fromUtf8(c.refusalNames))) << qPrintable(boxes[0]);
            EXPECT_EQ(module.Requests().size(), requests);
            EXPECT_EQ(theSerialChannel.m_hComm, open);  // not even reopened
            EXPECT_EQ(Shown(c.combo), QString::fromUtf8(c.typed));  // left for the user to mend
            Type(c.combo, c.combo == IDC_BAUD_RATE ? QStringLiteral("9600") : c.combo == IDC_PORT ? QStringLiteral("串口1") : QStringLiteral("从始端移"));
        } else {
            EXPECT_EQ(boxes, QStringList{kOpened});
            EXPECT_EQ(Shown(c.combo), QString::fromUtf8(c.item));
            EXPECT_EQ(module.Requests().size(), requests + 1);
        }
    }
    EXPECT_EQ(module.Rate(), 9600u);
    // An item's text typed in full is that item, for 设置 too.
    Type(IDC_BAUD_RATE, QStringLiteral("57600"));
    EXPECT_EQ(Click(IDC_SET_PARAMS), QStringList{QStringLiteral("设置成功!当前参数已更新。")});
    EXPECT_EQ(RequestsOf(0x01).back()[6], 6);
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 57600);
    EXPECT_EQ(module.Rate(), 57600u);
}

TEST_F(ConnectionPanelTest, TextTypedIntoThePortComboOpensNothingUntilAButtonThenThatPort) {
    StartModule();
    PtyPeer com2;
    com2.ExportAs(2);
    OpenWindow();
    const HANDLE open = theSerialChannel.m_hComm;
    Type(IDC_PORT, QStringLiteral("com2"));
    Item(IDC_FILE_NAME)->setFocus();  // typed and left
    QTest::qWait(20);
    EXPECT_EQ(theSerialChannel.m_hComm, open);
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM1");
    // The next command goes where the combo says, and the combo says it as
    // its item.
    ScriptedPeer module(&com2);
    module.Play({{6, StatusAnswer({0x01, 0x07, 0x0C, 0x1F, 0x17, 0x3B, 0x3A, 0x01, 0xFF, 0, 0, 0, 0, 0})}});
    EXPECT_EQ(Click(IDC_GET_INFO), QStringList{kOpened});
    EXPECT_EQ(module.Finish().size(), 1u);
    EXPECT_EQ(Shown(IDC_PORT), QStringLiteral("串口2"));
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM2");
    EXPECT_TRUE(RequestsOf(0x00).empty());  // COM1's module heard nothing
}

TEST_F(ConnectionPanelTest, ARateChosenWithoutSetIsTheRateTheNextCommandUses) {
    ModuleSimulator& module = StartModule();
    OpenWindow();
    ChooseItem(IDC_BAUD_RATE, 7);  // 115200, where the module is not
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 9600);
    // Asked at 115200, it does not answer; the search finds it at 9600 and
    // the combo says so.
    EXPECT_EQ(Click(IDC_GET_INFO), (QStringList{kSearching, FoundAt(QStringLiteral("串口1"), 9600)}));
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("9600"));
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 9600);
    EXPECT_EQ(module.Rate(), 9600u);
}

TEST_F(ConnectionPanelTest, ASearchThatFindsNothingLeavesTheChannelOnThePortAndRateShown) {
    PtyPeer com1;
    com1.ExportAs(1);
    OpenWindow();
    ChooseItem(IDC_BAUD_RATE, 2);
    EXPECT_EQ(Click(IDC_GET_INFO), (QStringList{kSearching, kNoResponse}));
    EXPECT_EQ(Shown(IDC_PORT), QStringLiteral("串口1"));
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("14400"));
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM1");
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 14400);
    EXPECT_NE(theSerialChannel.m_hComm, nullptr);
}

TEST_F(ConnectionPanelTest, PortsPresentFollowCom1AndCom2AndTheSearchFindsTheModuleThere) {
    // The module on a port of its own, neither COM1 nor COM2.
    SimConfig config;
    config.rate = 38400;
    ModuleSimulator module(config);
    std::string error;
    ASSERT_TRUE(module.Start(&error)) << error;
    PtyPeer silent;
    setenv("TOVREL_PORTS", (silent.SlavePath() + ":" + module.SlavePath()).c_str(), 1);
    OpenWindow();
    auto* port = qobject_cast<QComboBox*>(Item(IDC_PORT));
    // The list is read when a search needs it, not at start-up.
    EXPECT_EQ(port->count(), 2);
    port->showPopup();
    port->hidePopup();
    ASSERT_EQ(port->count(), 4);
    EXPECT_EQ(port->itemText(0), QStringLiteral("串口1"));
    EXPECT_EQ(port->itemText(1), QStringLiteral("串口2"));
    QStringList listed = {port->itemText(2), port->itemText(3)};
    EXPECT_TRUE(listed.filter(QString::fromStdString(module.SlavePath())).size() == 1) << qPrintable(listed.join('|'));

    const QStringList boxes = Click(IDC_GET_INFO);
    EXPECT_EQ(boxes, (QStringList{kSearching, FoundAt(Shown(IDC_PORT), 38400)}));
    EXPECT_TRUE(Shown(IDC_PORT).contains(QString::fromStdString(module.SlavePath()))) << qPrintable(Shown(IDC_PORT));
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("38400"));
    EXPECT_EQ(std::string(theSerialChannel.m_pszPortName), module.SlavePath());
    EXPECT_NE(theSerialChannel.m_hComm, nullptr);
    // Where it was found, it answers straight away.
    EXPECT_EQ(Click(IDC_GET_INFO), QStringList{kOpened});
}

TEST_F(ConnectionPanelTest, ThePortListIsReadAfreshWhenItDropsDownAndAChoiceOpensThatPort) {
    StartModule();
    PtyPeer first;
    PtyPeer later;
    setenv("TOVREL_PORTS", first.SlavePath().c_str(), 1);
    OpenWindow();
    auto* port = qobject_cast<QComboBox*>(Item(IDC_PORT));
    EXPECT_EQ(port->count(), 2);
    // An adapter plugged in meanwhile is there when the list opens.
    setenv("TOVREL_PORTS", (first.SlavePath() + ":" + later.SlavePath()).c_str(), 1);
    port->showPopup();
    port->hidePopup();
    ASSERT_EQ(port->count(), 4);
    EXPECT_EQ(Shown(IDC_PORT), QStringLiteral("串口1"));  // the selection stays
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM1");
    ChooseItem(IDC_PORT, 3);
    // The item names its device without /dev/ first; the channel opens the path.
    const QString opened = QString::fromLocal8Bit(theSerialChannel.m_pszPortName);
    EXPECT_TRUE(opened.startsWith(QStringLiteral("/dev/")) && port->itemText(3).startsWith(opened.mid(5) + QStringLiteral(" — ")))
        << qPrintable(opened) << " " << qPrintable(port->itemText(3));
    EXPECT_NE(theSerialChannel.m_hComm, nullptr);
    // The chosen port stays selected when the list is read again.
    const QString chosen = Shown(IDC_PORT);
    port->showPopup();
    port->hidePopup();
    EXPECT_EQ(Shown(IDC_PORT), chosen);
    EXPECT_EQ(port->currentIndex(), 3);
}

TEST_F(ConnectionPanelTest, ChoosingAnotherPortReopensTheChannelThere) {
    StartModule();
    OpenWindow();
    auto* port = qobject_cast<QComboBox*>(Item(IDC_PORT));
    port->setFocus();
    // COM2 is absent: the open step reports it.
    EXPECT_EQ(Answering([port] { QTest::keyClick(port, Qt::Key_Down); }), QStringList{QStringLiteral("打开串口失败!")});
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM2");
    EXPECT_EQ(theSerialChannel.m_hComm, nullptr);
    EXPECT_EQ(Answering([port] { QTest::keyClick(port, Qt::Key_Up); }), QStringList());
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM1");
    EXPECT_NE(theSerialChannel.m_hComm, nullptr);
    // Setting the index from code is no selection by the user.
    Answering([port] { port->setCurrentIndex(1); });
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM1");
}

}  // namespace

namespace {

// A file open on COM1's module, COM2 another port: what the user changes
// asks first, and a handle goes only to the module that gave it.
class OpenFileTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        StartModule();
        com2.ExportAs(2);
        OpenWindow();
        ASSERT_EQ(Click(IDC_OPEN_CREATE), QStringList());
        m_module->ClearRequests();
    }
    static QString Question(const char* to) {
        return QStringLiteral("文件在串口1（9600）的模块上打开着。\n先在那里关闭文件，再换到%1吗？").arg(QString::fromUtf8(to));
    }
    PtyPeer com2;
};

TEST_F(OpenFileTest, AnotherPortOrRateAsksAndKeepsOrClosesTheFileFirst) {
    // Kept: the combos show the port and rate in use again, and 写入 goes
    // there with the file's handle.
    m_answerer.choices = {QStringLiteral("不切换")};
    QWidget* port = Item(IDC_PORT);
    port->setFocus();
    EXPECT_EQ(Answering([port] { QTest::keyClick(port, Qt::Key_Down); }), QStringList{Question("串口2（9600）")});
    EXPECT_EQ(Shown(IDC_PORT), QStringLiteral("串口1"));
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM1");
    ChooseItem(IDC_BAUD_RATE, 7);
    Type(IDC_TEXT, QStringLiteral("x"));
    m_answerer.choices = {QStringLiteral("不切换")};
    EXPECT_EQ(Click(IDC_WRITE_TEXT), (QStringList{Question("串口1（115200）"), QStringLiteral("成功写入文件!必需先关闭文件才可以拔U盘，否则数据可能丢失！")}));
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("9600"));
    EXPECT_EQ(RequestsOf(0x20).size(), 1u);
    EXPECT_TRUE(com2.ReadUntilQuiet(20).empty());

    // Closed first, on the module that holds it; then the new port.
    m_answerer.choices = {QStringLiteral("关闭文件后切换")};
    Window()->activateWindow();  // the boxes had it
    ASSERT_TRUE(QTest::qWaitForWindowActive(Window()));
    Type(IDC_PORT, QStringLiteral("com2"));
    EXPECT_EQ(Answering([] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return); }),
              QStringList{Question("串口2（9600）")});
    EXPECT_EQ(RequestsOf(0x12).size(), 1u);
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM2");
    EXPECT_EQ(Shown(IDC_PORT), QStringLiteral("串口2"));
    EXPECT_EQ(Shown(IDC_FILE_STATUS), QStringLiteral("请打开或创建1个文件。"));
    EXPECT_EQ(g_pCurrentFile, nullptr);
}

TEST_F(OpenFileTest, NoAnswerWithAFileOpenAsksBeforeSearchingElsewhere) {
    SimFault silent;
    silent.kind = SimFault::kSilent;
    silent.repeat = true;
    m_module->ArmFault(silent);
    m_answerer.choices = {QStringLiteral("不查找")};
    EXPECT_EQ(Click(IDC_GET_INFO),
              QStringList{QStringLiteral("模块没有应答。文件在串口1（9600）的模块上打开着。\n先在那里关闭文件，再查找其他串口和波特率吗？")});
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM1");
    EXPECT_NE(g_pCurrentFile, nullptr);
    EXPECT_TRUE(com2.ReadUntilQuiet(20).empty());
}

}  // namespace
