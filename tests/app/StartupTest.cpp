// Start-up, the data exchange's checks, the system menu, the about box and
// the ways the dialog ends.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextLayout>
#include <QTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <memory>

#include "WindowTest.h"
#include "app/DataExchange.h"
#include "app/qt/QtDialogBuilder.h"
#include "app/qt/MessageBox.h"
#include "app/Resources.h"
#include "app/qt/SystemMenu.h"
#include "app/qt/QtDialog.h"
#include "serial/SerialChannel.h"
#include "serial/posix/CommJournal.h"

namespace {

using StartupTest = WindowTest;

TEST_F(StartupTest, StartsWithItsDefaultsOnCom1At9600AndSendsNothing) {
    ModuleSimulator& module = StartModule();
    EXPECT_EQ(OpenWindow(), QStringList());
    EXPECT_EQ(Window()->windowTitle(), QStringLiteral("Tovrel Haverlund"));
    EXPECT_EQ(Shown(IDC_PORT), QStringLiteral("串口1"));
    EXPECT_EQ(Shown(IDC_BAUD_RATE), QStringLiteral("9600"));
    EXPECT_EQ(Shown(IDC_SEEK_ORIGIN), QStringLiteral("从始端移"));
    const int clock[] = {IDC_YEAR, IDC_MONTH, IDC_DAY, IDC_HOUR, IDC_MINUTE, IDC_SECOND};
    const char* values[] = {"05", "8", "25", "11", "12", "0"};  // the year after "20"
    for (int i = 0; i < 6; ++i) EXPECT_EQ(Shown(clock[i]), QString::fromLatin1(values[i])) << clock[i];
    EXPECT_EQ(Shown(IDC_FILE_NAME), QStringLiteral("Norvatil.TXT"));
    EXPECT_EQ(Shown(IDC_NEW_DIR_NAME), QStringLiteral("USB_HOST"));
    // Captions for the sizes and states to come, claiming nothing yet.
    EXPECT_EQ(Shown(IDC_DISK_STATUS), QStringLiteral("点击\"获取\"设备信息"));
    EXPECT_EQ(Shown(IDC_FILE_STATUS), QStringLiteral("请打开或创建1个文件。"));
    for (int id : {IDC_FILE_SIZE, IDC_SEEK_OFFSET, IDC_READ_COUNT}) EXPECT_EQ(Shown(id), QStringLiteral("0")) << id;

    auto* port = qobject_cast<QComboBox*>(Item(IDC_PORT));
    auto* baud = qobject_cast<QComboBox*>(Item(IDC_BAUD_RATE));
    EXPECT_EQ(port->count(), 2);
    ASSERT_EQ(baud->count(), 8);
    EXPECT_EQ(baud->itemText(2), QStringLiteral("14400"));
    EXPECT_EQ(baud->itemText(7), QStringLiteral("115200"));
    EXPECT_TRUE(port->isEditable());

    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM1");
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 9600);
    EXPECT_NE(theSerialChannel.m_hComm, nullptr);
    QTest::qWait(100);
    EXPECT_TRUE(module.Requests().empty());
}

TEST_F(StartupTest, ReportsACom1ThatCannotBeOpenedOnceAndComesUpAllTheSame) {
    EXPECT_EQ(OpenWindow(), QStringList{QStringLiteral("打开串口失败!")});
    EXPECT_TRUE(Window()->isVisible());
    const ShownBox& box = m_answerer.boxes.at(0);
    EXPECT_EQ(box.caption, QStringLiteral("Tovrel"));  // the application's name
    EXPECT_FALSE(box.hasIcon);
    EXPECT_EQ(box.buttons, QStringList{QStringLiteral("确定")});
    EXPECT_EQ(box.owner, Window());
}

TEST_F(StartupTest, AKernelConsoleAsCom1IsNeitherOpenedAtStartNorSearched) {
    // COM1 as it is when nobody names it: /dev/ttyS0, here the kernel's
    // console (by its device number, as /proc/consoles gives it).
    struct stat device{};
    if (stat("/dev/ttyS0", &device) != 0) GTEST_SKIP() << "no /dev/ttyS0";
    unsetenv("TOVREL_COM1");
    const QString consoles = PcPath(QStringLiteral("consoles"));
    WritePcFile(QStringLiteral("consoles"), QStringLiteral("ttyS0                -W- (EC  p a)    %1:%2\n")
                                                .arg(major(device.st_rdev))
                                                .arg(minor(device.st_rdev))
                                                .toLatin1());
    setenv("TOVREL_PROC_CONSOLES", consoles.toLocal8Bit().constData(), 1);
    ModuleSimulator com2(SimConfig{});
    std::string error;
    ASSERT_TRUE(com2.Start(&error)) << error;
    setenv("TOVREL_COM2", com2.SlavePath().c_str(), 1);
    comm_journal::Clear();
    comm_journal::Enable(true);
    const QStringList atStart = OpenWindow();
    ASSERT_EQ(atStart.size(), 1);
    EXPECT_TRUE(atStart[0].startsWith(QStringLiteral("串口1是本机内核的控制台"))) << qPrintable(atStart[0]);
    EXPECT_EQ(theSerialChannel.m_hComm, nullptr);
    // 获取 finds the module on COM2, passing COM1 by.
    EXPECT_EQ(Click(IDC_GET_INFO), (QStringList{QStringLiteral("轮询COM口和波特率!"), QStringLiteral("打开设备成功!\n模块在串口2（9600）。")}));
    EXPECT_EQ(Shown(IDC_PORT), QStringLiteral("串口2"));
    comm_journal::Enable(false);
    for (const std::string& call : comm_journal::Entries()) EXPECT_NE(call, "CreateFileA(COM1)");
    unsetenv("TOVREL_PROC_CONSOLES");
}

TEST_F(StartupTest, ControlsCarryTheirIdsAndTheFontsMetricsGiveTheSize) {
    StartModule();
    OpenWindow();
    for (int id : {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1008, 1009, 1010, 1011, 1012, 1013, 1014, 1015, 1016, 1017,
                   1019, 1020, 1021, 1022, 1023, 1027, 1028, 1030, 1031, 1032, 1036, 1037, 1038, 1039, 1040, 1041})
        EXPECT_NE(DialogItem(Window(), id), nullptr) << id;
    const QSize base = DialogBaseUnits(Window()->font());
    EXPECT_EQ(Window()->size(), MapDialogRect(QRect(0, 0, 320, 275), base).size());
    // Every control lies inside the dialog.
    for (QWidget* child : Window()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child->objectName().startsWith(QLatin1String("IDC_"))) {
            EXPECT_TRUE(Window()->rect().contains(child->geometry())) << qPrintable(child->objectName());
        }
    }
}

TEST_F(StartupTest, EnterEndsNothingAndBreaksTheLineInTheTextBox) {
    StartModule();
    OpenWindow();
    Type(IDC_MONTH, QStringLiteral("13"));  // not even a field out of range is looked at
    for (int id : {IDC_FILE_NAME, IDC_MONTH, IDC_PORT, IDC_BAUD_RATE, IDC_SEEK_ORIGIN, IDC_TEXT}) {
        Item(id)->setFocus();
        QWidget* target = QApplication::focusWidget();
        ASSERT_NE(target, nullptr);
        EXPECT_EQ(Answering([target] { QTest::keyClick(target, Qt::Key_Return); }), QStringList()) << id;
        EXPECT_TRUE(Window()->isVisible()) << id;
    }
    Type(IDC_TEXT, QStringLiteral("ab"));
    QTest::keyClick(Item(IDC_TEXT), Qt::Key_Return);
    QTest::keyClicks(Item(IDC_TEXT), QStringLiteral("cd"));
    EXPECT_EQ(Shown(IDC_TEXT), QStringLiteral("ab\ncd"));
    EXPECT_TRUE(m_module->Requests().empty());
    // Esc ends it without an exchange when no file is open.
    QTest::keyClick(Window(), Qt::Key_Escape);
    EXPECT_FALSE(Window()->isVisible());
    EXPECT_EQ(Window()->result(), IDCANCEL);
}

TEST_F(StartupTest, TheExchangeStopsAtTheFirstFailingFieldInItsOrder) {
    StartModule();
    OpenWindow();
    // Order: hour, month, minute, offset, second, year, ..., day.
    Type(IDC_HOUR, QStringLiteral("24"));
    Type(IDC_MINUTE, QStringLiteral("30"));
    EXPECT_EQ(Answering([this] { EXPECT_FALSE(m_dlg->UpdateData(true)); }), QStringList{QString::fromStdString(RangeMessage(0, 23))});
    EXPECT_EQ(m_dlg->m_nHour, 24);    // out of range: already stored
    EXPECT_EQ(m_dlg->m_nMinute, 12);  // after it: untouched

    Type(IDC_HOUR, QStringLiteral("7"));
    Type(IDC_MONTH, QStringLiteral("1x"));
    EXPECT_EQ(Answering([this] { m_dlg->UpdateData(true); }), QStringList{QString::fromStdString(ParseByteMessage())});
    EXPECT_EQ(m_dlg->m_nHour, 7);
    EXPECT_EQ(m_dlg->m_nMonth, 8);  // not a number: keeps its value

    Type(IDC_MONTH, QStringLiteral("300"));
    EXPECT_EQ(Answering([this] { m_dlg->UpdateData(true); }), QStringList{QString::fromStdString(ParseByteMessage())});
    EXPECT_EQ(m_dlg->m_nMonth, 8);

    Type(IDC_MONTH, QStringLiteral(" 12 "));
    Type(IDC_YEAR, QStringLiteral("100"));
    EXPECT_EQ(Answering([this] { m_dlg->UpdateData(true); }), QStringList{QString::fromStdString(RangeMessage(0, 99))});
    EXPECT_EQ(m_dlg->m_nMonth, 12);
    EXPECT_EQ(m_dlg->m_nMinute, 30);

    Type(IDC_YEAR, QStringLiteral("9"));
    Type(IDC_DAY, QStringLiteral("0"));  // a day of 0 passes
    Type(IDC_SEEK_OFFSET, QStringLiteral("-2147483648"));
    Type(IDC_READ_COUNT, QStringLiteral("4294967295"));
    EXPECT_EQ(Answering([this] { EXPECT_TRUE(m_dlg->UpdateData(true)); }), QStringList());
    EXPECT_EQ(m_dlg->m_nDay, 0);
    EXPECT_EQ(m_dlg->m_nSeekOffset, INT32_MIN);
    EXPECT_EQ(m_dlg->m_nReadCount, 4294967295u);

    Type(IDC_SEEK_OFFSET, QStringLiteral("2147483648"));
    EXPECT_EQ(Answering([this] { m_dlg->UpdateData(true); }), QStringList{QString::fromStdString(ParseIntMessage())});
    Type(IDC_SEEK_OFFSET, QStringLiteral("0"));
    Type(IDC_READ_COUNT, QStringLiteral("-1"));
    EXPECT_EQ(Answering([this] { m_dlg->UpdateData(true); }), QStringList{QString::fromStdString(ParseUIntMessage())});
}

TEST_F(StartupTest, NameFieldsHoldAHundredBytesOfCodePage936) {
    StartModule();
    OpenWindow();
    Type(IDC_FILE_NAME, QString(60, QChar(0x6587)));  // 文, two bytes each
    EXPECT_EQ(Shown(IDC_FILE_NAME), QString(50, QChar(0x6587)));
    Type(IDC_NEW_DIR_NAME, QString(120, QLatin1Char('D')));
    EXPECT_EQ(Shown(IDC_NEW_DIR_NAME).size(), 100);
    // The other name fields have no limit.
    Type(IDC_CURRENT_DIR, QString(120, QLatin1Char('C')));
    EXPECT_EQ(Shown(IDC_CURRENT_DIR).size(), 120);

    // A text past the limit that got in anyway is refused by the exchange.
    qobject_cast<QLineEdit*>(Item(IDC_FILE_NAME))->setText(QString(51, QChar(0x6587)));
    EXPECT_EQ(Answering([this] { EXPECT_FALSE(m_dlg->UpdateData(true)); }), QStringList{QString::fromStdString(StringSizeMessage(100))});
}

TEST_F(StartupTest, TheSystemMenuEndsWithTheAboutEntryAndOpensTheAboutBox) {
    StartModule();
    OpenWindow();
    const QStringList items = QtSystemMenuOf(*m_dlg)->ItemTexts();
    ASSERT_GE(items.size(), 2);
    EXPECT_EQ(items.mid(items.size() - 2), (QStringList{QString(), QStringLiteral("关于 Tovrel(&A)...")}));

    QStringList seen;
    m_answerer.onOtherDialog = [&seen](QDialog* about) {
        seen << about->windowTitle();
        if (auto* text = about->findChild<QLabel*>(QStringLiteral("IDC_STATIC"))) seen << text->text();
        QTest::mouseClick(about->findChild<QWidget*>(QStringLiteral("IDC_1")), Qt::LeftButton);
    };
    QMenu* menu = QtSystemMenuOf(*m_dlg)->Menu();
    ASSERT_NE(menu, nullptr);

    // Alt+Space opens it ...
    QTest::keyClick(Window(), Qt::Key_Space, Qt::AltModifier);
    EXPECT_TRUE(menu->isVisible());
    Answering([menu] { menu->actions().last()->trigger(); });
    menu->hide();
    EXPECT_EQ(seen, (QStringList{QStringLiteral("关于 Tovrel"), QStringLiteral("Tovrel 1.0 版")}));

    // ... and so does a right click on the dialog's background.
    seen.clear();
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(3, 3), Window()->mapToGlobal(QPoint(3, 3)));
    QApplication::sendEvent(Window(), &click);
    EXPECT_TRUE(menu->isVisible());
    Answering([menu] { menu->actions().last()->trigger(); });
    EXPECT_EQ(seen.value(0), QStringLiteral("关于 Tovrel"));

    // The command with the system's low bits set is the about command too;
    // close is the usual close.
    seen.clear();
    Answering([this] { m_dlg->OnSysCommand(IDM_ABOUTBOX | 0x3, 0); });
    EXPECT_EQ(seen.value(0), QStringLiteral("关于 Tovrel"));
    EXPECT_TRUE(Window()->isVisible());
    m_dlg->OnSysCommand(SC_CLOSE_COMMAND, 0);
    EXPECT_FALSE(Window()->isVisible());
}

TEST_F(StartupTest, TheWindowAsAUserMeetsIt) {
    StartModule();
    OpenWindow();
    // The focus on the first edit, its text selected, ready to be typed over.
    EXPECT_EQ(QApplication::focusWidget(), Item(IDC_FILE_NAME));
    EXPECT_EQ(qobject_cast<QLineEdit*>(Item(IDC_FILE_NAME))->selectedText(), QStringLiteral("Norvatil.TXT"));

    // The year reads "20" + two digits.
    const QWidget* year = Item(IDC_YEAR);
    QStringList labelsBefore;
    for (const QLabel* label : Window()->findChildren<QLabel*>(QStringLiteral("IDC_STATIC")))
        if (label->geometry().right() <= year->geometry().left() && label->geometry().bottom() >= year->geometry().top() &&
            label->geometry().top() <= year->geometry().bottom())
            labelsBefore << label->text();
    EXPECT_EQ(labelsBefore, QStringList{QStringLiteral("系统时钟:  20")});
    EXPECT_EQ(Shown(IDC_YEAR), QStringLiteral("05"));

    // The text box does not wrap: a long line stays one line.
    auto* text = qobject_cast<QPlainTextEdit*>(Item(IDC_TEXT));
    Type(IDC_TEXT, QString(300, QLatin1Char('x')));
    QTest::qWait(20);
    ASSERT_NE(text->document()->firstBlock().layout(), nullptr);
    EXPECT_EQ(text->document()->firstBlock().layout()->lineCount(), 1);

    // A box with a short text is wide enough for its caption.
    const QStringList shown = Answering([this] { ShowMessageBox(Window(), QStringLiteral("好")); });
    ASSERT_EQ(shown, QStringList{QStringLiteral("好")});
    const ShownBox& box = m_answerer.boxes.back();
    EXPECT_GE(box.width, QFontMetrics(Window()->font()).horizontalAdvance(box.caption) + 100);
}

TEST_F(StartupTest, F1OpensTheAboutBox) {
    StartModule();
    OpenWindow();
    QStringList seen;
    m_answerer.onOtherDialog = [&seen](QDialog* about) {
        seen << about->windowTitle();
        about->accept();
    };
    Answering([this] { QTest::keyClick(Item(IDC_FILE_NAME), Qt::Key_F1); });
    EXPECT_EQ(seen, QStringList{QStringLiteral("关于 Tovrel")});
    EXPECT_TRUE(Window()->isVisible());
}

TEST_F(StartupTest, QtsOwnTextsAreChinese) {
    // The file dialog of 写文件 ...
    StartModule();
    OpenWindow();
    Type(IDC_FILE_NAME, QStringLiteral("A.TXT"));
    Click(IDC_OPEN_CREATE);
    WritePcFile(QStringLiteral("notes.txt"), QByteArray(2000, 'x'));
    WritePcFile(QStringLiteral("tiny.txt"), QByteArray(12, 'x'));
    ASSERT_TRUE(QDir(m_pcFolder.path()).mkdir(QStringLiteral("saved")));
    m_answerer.files = {QString()};
    m_answerer.readListing = true;
    Click(IDC_WRITE_FILE);
    EXPECT_TRUE(m_answerer.fileDialogButtons.contains(QStringLiteral("取消"))) << qPrintable(m_answerer.fileDialogButtons.join(QLatin1Char('|')));
    EXPECT_FALSE(m_answerer.fileDialogButtons.contains(QStringLiteral("Cancel")));
    // Its list: headers, types, sizes and dates.
    const QStringList& listing = m_answerer.fileDialogListing;
    const QString all = listing.join(QLatin1Char('|'));
    EXPECT_TRUE(listing.contains(QStringLiteral("修改日期")) && listing.contains(QStringLiteral("文件夹"))) << qPrintable(all);
    EXPECT_EQ(listing.filter(QRegularExpression(QStringLiteral("^20\\d\\d/\\d+/\\d+ \\d"))).size(), 3) << qPrintable(all);
    EXPECT_FALSE(all.contains(QStringLiteral("Folder")) || all.contains(QStringLiteral("Dec")) || all.contains(QStringLiteral("byte")))
        << qPrintable(all);
    EXPECT_TRUE(listing.contains(QStringLiteral("12 字节"))) << qPrintable(all);
    // The program's own file type, every file matched.
    EXPECT_EQ(m_answerer.fileDialogFilters, QStringList{QStringLiteral("Files (*)")});
    // ... and an edit's context menu.
    auto* edit = qobject_cast<QLineEdit*>(Item(IDC_FILE_NAME));
    std::unique_ptr<QMenu> menu(edit->createStandardContextMenu());
    QStringList items;
    for (const QAction* action : menu->actions())
        if (!action->isSeparator()) items << action->text();
    EXPECT_FALSE(items.filter(QStringLiteral("撤消")).isEmpty() && items.filter(QStringLiteral("撤销")).isEmpty())
        << qPrintable(items.join(QLatin1Char('|')));
}

TEST_F(StartupTest, TheIconHasBothSizes) {
    const QIcon& icon = QtIcon(LoadIconResource(IDR_MAINFRAME));
    const QList<QSize> sizes = icon.availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(32, 32)));
    EXPECT_TRUE(sizes.contains(QSize(16, 16)));
    StartModule();
    OpenWindow();
    EXPECT_FALSE(Window()->windowIcon().isNull());
    EXPECT_EQ(m_dlg->OnQueryDragIcon(), m_dlg->m_hIcon);
    EXPECT_EQ(m_dlg->m_hIcon, LoadIconResource(IDR_MAINFRAME));
}

}  // namespace
