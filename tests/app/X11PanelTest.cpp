// The window's buttons on a real X server, clicked and typed into with
// input made by the X server (XTEST), as a user's arrives: a field the
// exchange refuses stops its button, every byte read shows, Enter ends
// nothing, a PC file is replaced only when the user says so, empty names
// and an unanswered close are told. Boxes are answered as in every window
// test; the keyboard goes to the window the way a window manager gives it.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>

#include "WindowTest.h"
#include "XInput.h"
#include "app/Resources.h"
#include "app/qt/ExchangeScope.h"
#include "serial/SerialChannel.h"

namespace {

class X11PanelTest : public WindowTest {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb") || !m_x.Usable())
            GTEST_SKIP() << "needs an X server with XTEST (run under xvfb-run with QT_QPA_PLATFORM=xcb)";
        WindowTest::SetUp();
        StartModule();
        OpenWindow();
    }

    // The keyboard's window: after a box it is the box's no longer.
    void Activate() {
        Window()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Window()));
    }

    QWidget* Field(int id) const {
        auto* combo = qobject_cast<QComboBox*>(Item(id));
        return combo != nullptr ? static_cast<QWidget*>(combo->lineEdit()) : Item(id);
    }

    // Typed over what the field held, key by key.
    void TypeOver(int id, const QString& text) {
        Activate();
        Field(id)->setFocus();
        const qsizetype old = Shown(id).size();
        m_x.Press(XInput::Key::kEnd);
        for (qsizetype i = 0; i < old; ++i) m_x.Press(XInput::Key::kBackSpace);
        m_x.Type(text);
        EXPECT_TRUE(QTest::qWaitFor([&] { return Shown(id) == text; }, 3000)) << qPrintable(Shown(id));
    }

    // Input, then as long as it takes (at most 10 s) for `boxes` boxes to
    // come and go and the handler to end; the boxes.
    QStringList UserDoes(const std::function<void()>& input, int boxes) {
        const size_t before = m_answerer.boxes.size();
        return Answering([&] {
            input();
            (void)QTest::qWaitFor(
                [&] {
                    return m_answerer.boxes.size() >= before + static_cast<size_t>(boxes) &&
                           QApplication::activeModalWidget() == nullptr && !ExchangeScope::Active();
                },
                10000);
            QTest::qWait(100);  // and anything that would follow
        });
    }
    QStringList ClickWithMouse(int id, int boxes) {
        return UserDoes([&] { m_x.Click(Item(id)); }, boxes);
    }

    void OpenDiskFile(const char* name) {
        TypeOver(IDC_FILE_NAME, QString::fromUtf8(name));
        EXPECT_EQ(UserDoes([&] { m_x.Click(Item(IDC_OPEN_CREATE)); }, 0), QStringList());
        ASSERT_EQ(Shown(IDC_FILE_STATUS), QStringLiteral("文件已打开，大小为："));
    }

    XInput m_x;
};

TEST_F(X11PanelTest, AFieldTheExchangeRefusesStopsItsButtonAndNothingIsSent) {
    ASSERT_TRUE(m_module->WriteDiskFile("/KEEP.TXT", AsBytes("keep")));
    TypeOver(IDC_DEL_FILE_NAME, QStringLiteral("KEEP.TXT"));
    const struct {
        int field;
        const char* typed;
        int button;
        const char* said;
    } kCases[] = {
        {IDC_MONTH, "13", IDC_SET_PARAMS, "请输入一个介于 1 和 12 之间的整数。"},
        {IDC_HOUR, "99", IDC_DELETE_FILE, "请输入一个介于 0 和 23 之间的整数。"},
        {IDC_SEEK_OFFSET, "12x", IDC_SEEK, "请输入一个整数。"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.typed);
        const QString before = Shown(c.field);
        TypeOver(c.field, QString::fromUtf8(c.typed));
        EXPECT_EQ(ClickWithMouse(c.button, 1), QStringList{QString::fromUtf8(c.said)});
        TypeOver(c.field, before);
    }
    EXPECT_TRUE(m_module->Requests().empty());
}

TEST_F(X11PanelTest, ReadOf2000BytesFromA966ByteFileShowsAll966) {
    ASSERT_TRUE(m_module->WriteDiskFile("/R.TXT", std::vector<uint8_t>(966, 'r')));
    OpenDiskFile("R.TXT");
    TypeOver(IDC_READ_COUNT, QStringLiteral("2000"));
    EXPECT_EQ(ClickWithMouse(IDC_READ_TEXT, 1), QStringList{QStringLiteral("数据已读出。已到文件末尾，共读出 966 字节。")});
    EXPECT_EQ(Shown(IDC_TEXT), QString(966, QLatin1Char('r')));
}

TEST_F(X11PanelTest, EnterInTheTextBoxOrAFieldEndsNothing) {
    TypeOver(IDC_TEXT, QStringLiteral("ab"));
    EXPECT_EQ(UserDoes([this] {
                  m_x.Press(XInput::Key::kReturn);
                  m_x.Type(QStringLiteral("cd"));
              }, 0),
              QStringList());
    EXPECT_EQ(Shown(IDC_TEXT), QStringLiteral("ab\ncd"));
    Activate();
    Field(IDC_FILE_NAME)->setFocus();
    EXPECT_EQ(UserDoes([this] { m_x.Press(XInput::Key::kReturn); }, 0), QStringList());
    // In the port's field it takes the port typed (COM2, absent here).
    TypeOver(IDC_PORT, QStringLiteral("com2"));
    EXPECT_EQ(UserDoes([this] { m_x.Press(XInput::Key::kReturn); }, 1), QStringList{QStringLiteral("打开串口失败!")});
    EXPECT_EQ(Shown(IDC_PORT), QStringLiteral("串口2"));
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM2");
    EXPECT_TRUE(Window()->isVisible());
}

TEST_F(X11PanelTest, ReadFileOverAnExistingPcFileAsksFirst) {
    ASSERT_TRUE(m_module->WriteDiskFile("/Norvatil.TXT", AsBytes("from the disk")));
    WritePcFile(QStringLiteral("Norvatil.TXT"), "the PC's own");
    OpenDiskFile("Norvatil.TXT");
    const QString question = QStringLiteral("电脑上已有 %1。\n用U盘上的文件替换它吗？").arg(PcPath(QStringLiteral("Norvatil.TXT")));
    m_answerer.choices = {QStringLiteral("取消")};
    EXPECT_EQ(ClickWithMouse(IDC_READ_FILE, 1), QStringList{question});
    EXPECT_EQ(ReadPcFile(QStringLiteral("Norvatil.TXT")), QByteArray("the PC's own"));
    EXPECT_TRUE(RequestsOf(0x30).empty());
    m_answerer.choices = {QStringLiteral("替换")};
    EXPECT_EQ(ClickWithMouse(IDC_READ_FILE, 2).value(1),
              QStringLiteral("文件读取完成！并保存在根目录\n") + PcPath(QStringLiteral("Norvatil.TXT")));
    EXPECT_EQ(ReadPcFile(QStringLiteral("Norvatil.TXT")), QByteArray("from the disk"));
}

TEST_F(X11PanelTest, EmptyNamesSendNothing) {
    const struct {
        int field;
        int button;
        const char* said;
    } kNames[] = {
        {IDC_FILE_NAME, IDC_OPEN_CREATE, "请先输入文件名。"},
        {IDC_DEL_FILE_NAME, IDC_DELETE_FILE, "请先输入要删除的文件名。"},
        {IDC_NEW_DIR_NAME, IDC_MAKE_DIR, "请先输入目录名。"},
        {IDC_CURRENT_DIR, IDC_SET_CURRENT_DIR, "请先输入当前目录。"},
        {IDC_DEL_DIR_NAME, IDC_DELETE_DIR, "请先输入要删除的目录名。"},
    };
    for (const auto& name : kNames) {
        TypeOver(name.field, QString());
        EXPECT_EQ(ClickWithMouse(name.button, 1), QStringList{QString::fromUtf8(name.said)});
    }
    EXPECT_TRUE(m_module->Requests().empty());
}

TEST_F(X11PanelTest, AnUnansweredCloseIsToldAndEscThenAsks) {
    OpenDiskFile("Norvatil.TXT");
    SimFault silent;
    silent.kind = SimFault::kSilent;
    silent.repeat = true;
    m_module->ArmFault(silent);
    EXPECT_EQ(ClickWithMouse(IDC_CLOSE_FILE, 1),
              QStringList{QStringLiteral("关闭文件失败！模块没有应答。文件可能仍在U盘上打开，请勿拔盘；可再按“关闭文件”。")});
    EXPECT_EQ(Shown(IDC_FILE_STATUS), QStringLiteral("模块未确认关闭文件！"));
    Activate();
    m_answerer.choices = {QStringLiteral("取消")};
    EXPECT_EQ(UserDoes([this] { m_x.Press(XInput::Key::kEscape); }, 1),
              QStringList{QStringLiteral("模块未确认关闭文件，文件可能还开着。退出前再关闭一次吗？")});
    EXPECT_TRUE(Window()->isVisible());
    Activate();
    m_answerer.choices = {QStringLiteral("保持打开")};
    EXPECT_EQ(UserDoes([this] { m_x.Press(XInput::Key::kEscape); }, 1).size(), 1);
    EXPECT_FALSE(Window()->isVisible());
}

}  // namespace
