// The window on a real X server (Xvfb) with input made by the X server
// itself (the XTEST extension): pointer moves, clicks, keys and the wheel
// reach Qt as a user's do, through the event queue. During a transfer none
// of it may reach the dialog (the close box is the window manager's
// message), and the progress window's 取消 must still work. Outside one,
// what the combos show after the user's input is where and how the next
// command talks.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>

#include "PacedTransfer.h"
#include "XInput.h"
#include "app/Resources.h"
#include "serial/SerialChannel.h"
#include "tests/support/PtyPeer.h"

namespace {

class X11InputTest : public PacedTransferTest {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb") || !m_x.Usable())
            GTEST_SKIP() << "needs an X server with XTEST (run under tests/app/x-desktop.sh with QT_QPA_PLATFORM=xcb)";
        PacedTransferTest::SetUp();
    }
    XInput m_x;
};

TEST_F(X11InputTest, InputFromTheXServerDuringATransferNeverReachesTheDialog) {
    OpenBigFile();
    QWidget* focused = nullptr;
    bool progressStayed = false;
    // The X server's events are read while the transfer goes on; look again
    // a little later, still inside it.
    QTimer later;
    later.setSingleShot(true);
    QObject::connect(&later, &QTimer::timeout, [&progressStayed] { progressStayed = ProgressWindow() != nullptr; });
    WriteWholeWhileTheUserActs([this, &later, &focused](QDialog* progress) {
        focused = Window()->focusWidget();
        later.start(500);
        m_x.Click(progress);
        m_x.Press(XInput::Key::kEscape);
        m_x.CloseBox(progress);
        for (int id : {IDC_GET_INFO, IDC_CLOSE_FILE, IDC_WRITE_TEXT, IDC_OPEN_CREATE, IDC_SET_PARAMS}) m_x.Click(Item(id));
        m_x.Click(Item(IDC_FILE_NAME));
        m_x.Press(XInput::Key::kReturn);
        m_x.Press(XInput::Key::kEscape);
        m_x.Press(XInput::Key::kF1);
        m_x.Press(XInput::Key::kAltSpace);
        m_x.CloseBox(Window());
    });
    EXPECT_TRUE(progressStayed);  // neither Esc nor the close box took it away
    EXPECT_EQ(Window()->focusWidget(), focused) << "a click moved the focus";
}

TEST_F(X11InputTest, AClickOnCancelFromTheXServerStopsTheTransferBetweenChunks) {
    OpenBigFile();
    OnProgressWindow user([this](QDialog* progress) {
        m_x.Click(progress->findChild<QPushButton*>(QStringLiteral("CancelTransfer")));
    });
    EXPECT_EQ(WriteBigPcFile(), QStringList{kNotWhole});
    ASSERT_TRUE(user.Fired());
    const QByteArray written = DiskFile();
    EXPECT_GT(written.size(), 0);
    EXPECT_LT(written.size(), kBigSize);
    EXPECT_EQ(written.size() % 512, 0);
    EXPECT_EQ(written, BigData().left(written.size()));
}

// A module on COM1 and another on COM2, both at 9600: which of them hears
// a request tells which port the window talks on.
class X11ComboTest : public WindowTest {
protected:
    enum class Heard { kNone, kCom1, kCom2, kBoth };

    void SetUp() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb") || !m_x.Usable())
            GTEST_SKIP() << "needs an X server with XTEST (run under tests/app/x-desktop.sh with QT_QPA_PLATFORM=xcb)";
        WindowTest::SetUp();
        StartModule();
        m_com2 = std::make_unique<ModuleSimulator>(SimConfig{});
        std::string error;
        ASSERT_TRUE(m_com2->Start(&error)) << error;
        setenv("TOVREL_COM2", m_com2->SlavePath().c_str(), 1);
        OpenWindow();
        Window()->activateWindow();  // where the X server sends the keys
        ASSERT_TRUE(QTest::qWaitForWindowActive(Window()));
    }
    void TearDown() override {
        WindowTest::TearDown();
        m_com2.reset();
    }

    QComboBox* Combo(int id) const { return qobject_cast<QComboBox*>(Item(id)); }

    // The user's input, then as long as it takes to show (at most 3 s); the
    // boxes it brought.
    QStringList UserDoes(const std::function<void()>& input, const std::function<bool()>& shown) {
        return Answering([&] {
            input();
            (void)QTest::qWaitFor(shown, 3000);  // the caller checks what it needs
            QTest::qWait(100);  // and anything that would follow it
        });
    }

    void FocusByClick(int id) {
        QWidget* target = Item(id);
        UserDoes([&] { m_x.Click(target); }, [target] { return target->hasFocus() || target->isAncestorOf(QApplication::focusWidget()); });
        ASSERT_TRUE(Item(id)->hasFocus() || Item(id)->isAncestorOf(QApplication::focusWidget()));
    }

    // The list dropped by a click on the combo's arrow, an item clicked.
    QStringList ChooseWithMouse(int id, int index) {
        QComboBox* combo = Combo(id);
        QAbstractItemView* list = combo->view();
        UserDoes([&] { m_x.ClickAt(combo, QPoint(combo->width() - 5, combo->height() / 2)); },
                 [list] { return list->isVisible(); });
        EXPECT_TRUE(list->isVisible());
        const QRect item = list->visualRect(list->model()->index(index, 0));
        return UserDoes([&] { m_x.ClickAt(list->viewport(), item.center()); },
                        [list] { return !list->isVisible(); });
    }

    // Text typed over what the port's field shows.
    QStringList TypePort(const QString& text) {
        FocusByClick(IDC_PORT);
        QComboBox* port = Combo(IDC_PORT);
        return UserDoes([&] {
            m_x.Press(XInput::Key::kSelectAll);
            m_x.Type(text);
        }, [port, text] { return port->currentText() == text; });
    }

    // 获取 clicked; which module heard its status request.
    Heard GetInfo() {
        const size_t com1 = StatusRequests(*m_module);
        const size_t com2 = StatusRequests(*m_com2);
        const size_t boxes = m_answerer.boxes.size();
        EXPECT_EQ(UserDoes([this] { m_x.Click(Item(IDC_GET_INFO)); },
                           [this, boxes] { return m_answerer.boxes.size() > boxes && QApplication::activeModalWidget() == nullptr; }),
                  QStringList{QStringLiteral("打开设备成功!")});
        const bool heard1 = StatusRequests(*m_module) > com1;
        const bool heard2 = StatusRequests(*m_com2) > com2;
        return heard1 ? (heard2 ? Heard::kBoth : Heard::kCom1) : (heard2 ? Heard::kCom2 : Heard::kNone);
    }

    static size_t StatusRequests(const ModuleSimulator& module) {
        size_t count = 0;
        for (const auto& request : module.Requests()) count += request.size() >= 3 && request[2] == 0x00;
        return count;
    }

    XInput m_x;
    std::unique_ptr<ModuleSimulator> m_com2;
};

TEST_F(X11ComboTest, APortChosenWithTheMouseOrTheKeysIsThePortTheNextRequestGoesTo) {
    QComboBox* port = Combo(IDC_PORT);
    auto is = [port](const char* text) { return [port, text] { return port->currentText() == QString::fromUtf8(text); }; };
    const struct {
        const char* how;
        std::function<QStringList()> choose;
        const char* shown;
        Heard heard;
    } kWays[] = {
        {"mouse, 串口2", [this] { return ChooseWithMouse(IDC_PORT, 1); }, "串口2", Heard::kCom2},
        {"mouse, 串口1", [this] { return ChooseWithMouse(IDC_PORT, 0); }, "串口1", Heard::kCom1},
        {"Alt+Down, Down, Enter",
         [&] {
             FocusByClick(IDC_PORT);
             UserDoes([this] { m_x.Press(XInput::Key::kAltDown); }, [port] { return port->view()->isVisible(); });
             UserDoes([this] { m_x.Press(XInput::Key::kDown); }, [] { return false; });
             return UserDoes([this] { m_x.Press(XInput::Key::kReturn); }, is("串口2"));
         },
         "串口2", Heard::kCom2},
        {"Up on the closed combo",
         [&] {
             FocusByClick(IDC_PORT);
             return UserDoes([this] { m_x.Press(XInput::Key::kUp); }, is("串口1"));
         },
         "串口1", Heard::kCom1},
        {"Down on the closed combo",
         [&] {
             FocusByClick(IDC_PORT);
             return UserDoes([this] { m_x.Press(XInput::Key::kDown); }, is("串口2"));
         },
         "串口2", Heard::kCom2},
    };
    for (const auto& way : kWays) {
        SCOPED_TRACE(way.how);
        EXPECT_EQ(way.choose(), QStringList());
        EXPECT_EQ(port->currentText(), QString::fromUtf8(way.shown));
        EXPECT_EQ(GetInfo(), way.heard);
        EXPECT_EQ(port->currentText(), QString::fromUtf8(way.shown));
    }
}

TEST_F(X11ComboTest, TheWheelChangesAComboOnlyWhileItHasTheFocus) {
    QComboBox* port = Combo(IDC_PORT);
    FocusByClick(IDC_FILE_NAME);
    const HANDLE open = theSerialChannel.m_hComm;
    EXPECT_EQ(UserDoes([&] { m_x.Wheel(port, false); }, [] { return false; }), QStringList());
    EXPECT_EQ(port->currentText(), QStringLiteral("串口1"));
    EXPECT_EQ(theSerialChannel.m_hComm, open);
    EXPECT_EQ(GetInfo(), Heard::kCom1);
    // Focused, it is the user's choice.
    FocusByClick(IDC_PORT);
    EXPECT_EQ(UserDoes([&] { m_x.Wheel(port, false); }, [port] { return port->currentIndex() == 1; }), QStringList());
    EXPECT_EQ(port->currentText(), QStringLiteral("串口2"));
    EXPECT_EQ(GetInfo(), Heard::kCom2);
}

TEST_F(X11ComboTest, ARateTypedThatIsNoItemIsRefusedAndNothingIsSent) {
    FocusByClick(IDC_BAUD_RATE);
    UserDoes([this] {
        m_x.Press(XInput::Key::kEnd);
        for (int i = 0; i < 8; ++i) m_x.Press(XInput::Key::kBackSpace);
        m_x.Type(QStringLiteral("12345"));
    }, [this] { return Shown(IDC_BAUD_RATE) == QStringLiteral("12345"); });
    const size_t boxes = m_answerer.boxes.size();
    const QStringList shown = UserDoes([this] { m_x.Click(Item(IDC_SET_PARAMS)); },
                                       [this, boxes] { return m_answerer.boxes.size() > boxes; });
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].contains(QStringLiteral("“12345”不是可选的波特率"))) << qPrintable(shown[0]);
    EXPECT_TRUE(m_module->Requests().empty());
    EXPECT_TRUE(m_com2->Requests().empty());
    EXPECT_EQ(m_module->Rate(), 9600u);
}

TEST_F(X11ComboTest, AListedPortsWholeNameShowsDroppedDownAndChosen) {
    // A device name as long as udev's by-id links: the list shows all of it.
    PtyPeer adapter;
    const QString longName = QDir(m_pcFolder.path()).filePath(
        QStringLiteral("usb-Prolific_Technology_Inc._USB-Serial_Controller_D-if00-port0"));
    ASSERT_TRUE(QFile::link(QString::fromStdString(adapter.SlavePath()), longName));
    setenv("TOVREL_PORTS", longName.toLocal8Bit().constData(), 1);
    QComboBox* port = Combo(IDC_PORT);
    EXPECT_EQ(ChooseWithMouse(IDC_PORT, 2), QStringList());
    ASSERT_EQ(port->count(), 3);
    const QString item = port->itemText(2);
    EXPECT_TRUE(item.startsWith(longName)) << qPrintable(item);  // not under /dev/: the whole path
    EXPECT_EQ(port->toolTip(), item);  // what the closed field cuts off
    // Dropped down again: wide enough for the whole item.
    UserDoes([&] { m_x.ClickAt(port, QPoint(port->width() - 5, port->height() / 2)); },
             [port] { return port->view()->isVisible(); });
    const int needed = port->view()->fontMetrics().horizontalAdvance(item);
    EXPECT_GE(port->view()->viewport()->width(), needed);
    EXPECT_LE(port->view()->window()->width(), port->screen()->availableGeometry().width());
    UserDoes([this] { m_x.Press(XInput::Key::kEscape); }, [port] { return !port->view()->isVisible(); });
    // Closed: the field shows the item from its start, the name.
    EXPECT_EQ(port->currentIndex(), 2);
    EXPECT_EQ(port->lineEdit()->cursorPosition(), 0);
    EXPECT_EQ(std::string(theSerialChannel.m_pszPortName), longName.toStdString());
}

// A port of its own listed after 串口1 and 串口2 (a pseudo-terminal,
// /dev/pts/N): its item tells the device first, without /dev/, then what
// it is in Chinese with the whole path; typed by its path or by that name,
// or chosen, it is the port the next request goes to, and the closed field
// cut short shows the whole item as its tooltip.
TEST_F(X11ComboTest, AListedPortIsItsDeviceFirstAndTypedByPathOrName) {
    ModuleSimulator listed{SimConfig{}};
    std::string error;
    ASSERT_TRUE(listed.Start(&error)) << error;
    const QString path = QString::fromStdString(listed.SlavePath());
    ASSERT_TRUE(path.startsWith(QStringLiteral("/dev/"))) << qPrintable(path);
    setenv("TOVREL_PORTS", listed.SlavePath().c_str(), 1);
    QComboBox* port = Combo(IDC_PORT);
    const QString item = path.mid(5) + QStringLiteral(" — 伪终端（") + path + QStringLiteral("）");
    const struct {
        const char* how;
        std::function<QStringList()> choose;
    } kWays[] = {
        {"its path typed", [&] { return TypePort(path); }},
        {"its name typed, in capitals", [&] { return TypePort(path.mid(5).toUpper()); }},
        {"chosen with the mouse", [&] { return ChooseWithMouse(IDC_PORT, 2); }},
    };
    for (const auto& way : kWays) {
        SCOPED_TRACE(way.how);
        EXPECT_EQ(ChooseWithMouse(IDC_PORT, 0), QStringList());
        ASSERT_STREQ(theSerialChannel.m_pszPortName, "COM1");
        EXPECT_EQ(way.choose(), QStringList());
        const size_t heard = StatusRequests(listed);
        EXPECT_EQ(GetInfo(), Heard::kNone);
        EXPECT_EQ(StatusRequests(listed), heard + 1);
        EXPECT_EQ(QString::fromLocal8Bit(theSerialChannel.m_pszPortName), path);
        EXPECT_EQ(port->currentText(), item);
        EXPECT_EQ(port->toolTip(), item);
    }
}

// 串口1 on a kernel's console is marked so; "com1" typed, or 串口1 as an
// input method gives it, still names it.
TEST_F(X11ComboTest, Com1OnTheKernelsConsoleIsMarkedAndNamedAsBefore) {
    struct stat device {};
    ASSERT_EQ(stat(m_module->SlavePath().c_str(), &device), 0);
    WritePcFile(QStringLiteral("consoles"),
                QStringLiteral("pts  -W- (EC p  )  %1:%2\n").arg(major(device.st_rdev)).arg(minor(device.st_rdev)).toLatin1());
    setenv("TOVREL_PROC_CONSOLES", PcPath(QStringLiteral("consoles")).toLocal8Bit().constData(), 1);
    QComboBox* port = Combo(IDC_PORT);
    const QString marked = QStringLiteral("串口1（内核控制台）");
    const struct {
        const char* how;
        std::function<QStringList()> choose;
    } kWays[] = {
        {"com1 typed", [&] { return TypePort(QStringLiteral("com1")); }},
        {"串口1 from an input method",
         [&] {
             FocusByClick(IDC_PORT);
             port->lineEdit()->selectAll();
             QInputMethodEvent committed;
             committed.setCommitString(QStringLiteral("串口1"));
             QCoreApplication::sendEvent(port->lineEdit(), &committed);
             return QStringList();
         }},
        {"chosen with the mouse", [&] { return ChooseWithMouse(IDC_PORT, 0); }},
    };
    for (const auto& way : kWays) {
        SCOPED_TRACE(way.how);
        EXPECT_EQ(ChooseWithMouse(IDC_PORT, 1), QStringList());  // the list read afresh
        EXPECT_EQ(port->itemText(0), marked);
        EXPECT_EQ(port->itemText(1), QStringLiteral("串口2"));
        EXPECT_EQ(way.choose(), QStringList());
        EXPECT_EQ(GetInfo(), Heard::kCom1);
        EXPECT_EQ(port->currentText(), marked);
    }
    unsetenv("TOVREL_PROC_CONSOLES");
}

// Qt's own file dialog on a desktop: each column of its list as wide as
// what it shows (Chinese sizes and types, a long name) and on the dialog.
TEST_F(X11ComboTest, TheFileDialogsColumnsShowWhatTheyHold) {
    Type(IDC_FILE_NAME, QStringLiteral("A.TXT"));
    EXPECT_EQ(Click(IDC_OPEN_CREATE), QStringList());
    WritePcFile(QStringLiteral("tiny.txt"), QByteArray(12, 'x'));
    WritePcFile(QStringLiteral("the-measurements-of-the-second-week-of-the-trial.tar.gz"), QByteArray(1023, 'x'));
    m_answerer.files = {QString()};
    m_answerer.readListing = true;
    EXPECT_EQ(UserDoes([this] { m_x.Click(Item(IDC_WRITE_FILE)); }, [this] { return !m_answerer.fileDialogs.isEmpty(); }),
              QStringList());
    ASSERT_EQ(m_answerer.fileDialogs.size(), 1);
    EXPECT_TRUE(m_answerer.fileDialogListing.contains(QStringLiteral("12 字节")))
        << qPrintable(m_answerer.fileDialogListing.join(QLatin1Char('|')));
    EXPECT_EQ(m_answerer.fileDialogCutColumns, QStringList());
}

// The window's start on a desktop: the box of a COM1 that cannot be opened
// comes once the window is on screen, owned by it and over its middle.
class X11StartTest : public WindowTest {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb") || !XInput().Usable())
            GTEST_SKIP() << "needs an X server with XTEST (run under tests/app/x-desktop.sh with QT_QPA_PLATFORM=xcb)";
        WindowTest::SetUp();
    }
};

TEST_F(X11StartTest, TheStartsBoxFollowsTheWindowOnScreenAndStandsOverIt) {
    EXPECT_EQ(OpenWindow(), QStringList{QStringLiteral("打开串口失败!")});
    const ShownBox& box = m_answerer.boxes.at(0);
    EXPECT_EQ(box.owner, Window());
    EXPECT_TRUE(box.ownerOnScreen);
    const QPoint off = box.centre - Window()->frameGeometry().center();
    EXPECT_LE(off.manhattanLength(), 40) << off.x() << "," << off.y();
}

}  // namespace
