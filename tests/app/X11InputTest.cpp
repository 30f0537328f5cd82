// The window on a real X server (Xvfb) with input made by the X server
// itself (the XTEST extension): pointer moves, clicks and keys reach Qt as a
// user's do, through the event queue, while a transfer runs; the close box
// is the window manager's message. None of it may reach the dialog, and the
// progress window's 取消 must still work.
#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QTest>

#include "PacedTransfer.h"
#include "XInput.h"
#include "app/Resources.h"

namespace {

class X11InputTest : public PacedTransferTest {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb") || !m_x.Usable())
            GTEST_SKIP() << "needs an X server with XTEST (run under xvfb-run with QT_QPA_PLATFORM=xcb)";
        PacedTransferTest::SetUp();
    }
    XInput m_x;
};

TEST_F(X11InputTest, InputFromTheXServerDuringATransferNeverReachesTheDialog) {
    OpenBigFile();
    bool progressStayed = false;
    // The X server's events are read while the transfer goes on; look again
    // a little later, still inside it.
    QTimer later;
    later.setSingleShot(true);
    QObject::connect(&later, &QTimer::timeout, [&progressStayed] { progressStayed = ProgressWindow() != nullptr; });
    WriteWholeWhileTheUserActs([this, &later](QDialog* progress) {
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

}  // namespace
