// The window while it talks to the module: no input reaches the dialog, it
// stays painted and busy, a long transfer shows its progress and can be
// cancelled between chunks, and a PC file that is no regular file is
// refused before anything blocks.
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QPlainTextEdit>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

#include <functional>

#include "PacedTransfer.h"
#include "app/Resources.h"
#include "app/qt/ExchangeScope.h"
#include "tests/support/Timing.h"

namespace {

class ExchangeTest : public PacedTransferTest {
protected:
    // Clicks 取消: the window keeps its size, and shows every line it then has.
    static void Cancel(QDialog* progress) {
        const QSize size = progress->size();
        QTest::mouseClick(progress->findChild<QPushButton*>(QStringLiteral("CancelTransfer")), Qt::LeftButton);
        QApplication::processEvents();
        EXPECT_EQ(progress->size(), size);
        const auto* text = progress->findChild<QLabel*>();
        ASSERT_NE(text, nullptr);
        EXPECT_TRUE(text->text().endsWith(QStringLiteral("正在停止……")));
        EXPECT_GE(text->height(), text->sizeHint().height());
    }
};

TEST_F(ExchangeTest, KeysAndClicksDuringATransferNeverReachTheDialog) {
    OpenBigFile();
    bool progressStayed = false;
    WriteWholeWhileTheUserActs([this, &progressStayed](QDialog* progress) {
        QTest::keyClick(progress, Qt::Key_Escape);
        for (int id : {IDC_GET_INFO, IDC_CLOSE_FILE, IDC_WRITE_TEXT, IDC_OPEN_CREATE, IDC_READ_FILE, IDC_SET_PARAMS})
            QTest::mouseClick(Item(id), Qt::LeftButton);
        QTest::keyClick(Item(IDC_GET_INFO), Qt::Key_Space);
        QTest::keyClick(Window(), Qt::Key_Escape);
        QTest::keyClick(Window(), Qt::Key_Return);
        QTest::keyClick(Window(), Qt::Key_F1);
        QTest::keyClick(Window(), Qt::Key_Space, Qt::AltModifier);
        progress->close();
        progressStayed = progress->isVisible();
    });
    EXPECT_TRUE(progressStayed);  // neither Esc nor a close took it away
}

TEST_F(ExchangeTest, CancelledWriteKeepsWhatWasWrittenAndSaysSo) {
    OpenBigFile();
    OnProgressWindow user(&ExchangeTest::Cancel);
    EXPECT_EQ(WriteBigPcFile(), QStringList{kNotWhole});
    ASSERT_TRUE(user.Fired());
    const QByteArray written = DiskFile();
    EXPECT_GT(written.size(), 0);
    EXPECT_LT(written.size(), kBigSize);
    EXPECT_EQ(written.size() % 512, 0);  // stopped between chunks
    EXPECT_EQ(written, BigData().left(written.size()));
    EXPECT_EQ(RequestsOf(0x20).size(), static_cast<size_t>(written.size() / 512));
    // The file is still open: the next write goes on where this one stopped.
    m_answerer.files = {PcPath(QStringLiteral("big.bin"))};
    EXPECT_EQ(Click(IDC_WRITE_FILE), QStringList{kWriteOk});
}

TEST_F(ExchangeTest, AProgramAskedToEndStopsATransferBetweenChunks) {
    // What INT, TERM or HUP do to the window's process, without ending this one.
    OpenBigFile();
    OnProgressWindow signalled([](QDialog*) { ExchangeScope::SetEndRequested(true); });
    const QStringList shown = WriteBigPcFile();
    ExchangeScope::SetEndRequested(false);
    EXPECT_EQ(shown, QStringList{kNotWhole});
    ASSERT_TRUE(signalled.Fired());
    const QByteArray written = DiskFile();
    EXPECT_LT(written.size(), kBigSize);
    EXPECT_EQ(written.size() % 512, 0);
    EXPECT_EQ(written, BigData().left(written.size()));
}

TEST_F(ExchangeTest, CancelledWriteOfTheTextBoxIsNotReportedAsASuccess) {
    OpenBigFile();
    qobject_cast<QPlainTextEdit*>(Item(IDC_TEXT))->setPlainText(QString(kBigSize, QLatin1Char('t')));
    OnProgressWindow user(&ExchangeTest::Cancel);
    EXPECT_EQ(Click(IDC_WRITE_TEXT), QStringList{kNotWhole});
    ASSERT_TRUE(user.Fired());
    EXPECT_EQ(DiskFile().size() % 512, 0);
    EXPECT_LT(DiskFile().size(), kBigSize);
}

TEST_F(ExchangeTest, CancelledReadLeavesThePcFileAsItWas) {
    OpenBigFile(BigData());
    WritePcFile(QStringLiteral("BIG.BIN"), "the PC's own file");
    OnProgressWindow user(&ExchangeTest::Cancel);
    m_answerer.choices = {QStringLiteral("替换")};
    const QStringList shown = Click(IDC_READ_FILE);
    ASSERT_EQ(shown.size(), 2) << qPrintable(shown.join('|'));
    EXPECT_TRUE(shown[0].startsWith(QStringLiteral("电脑上已有 "))) << qPrintable(shown[0]);
    EXPECT_EQ(shown[1], QStringLiteral("读文件已取消，电脑上的文件未改动。"));
    ASSERT_TRUE(user.Fired());
    EXPECT_EQ(ReadPcFile(QStringLiteral("BIG.BIN")), QByteArray("the PC's own file"));
    EXPECT_EQ(QDir(m_pcFolder.path()).entryList(QDir::Files), QStringList{QStringLiteral("BIG.BIN")});
    EXPECT_LT(RequestsOf(0x30).size(), 48u);
}

TEST_F(ExchangeTest, CancelledReadIntoTheTextBoxKeepsWhatCame) {
    const QByteArray text(kBigSize, 'r');
    OpenBigFile(text);
    Type(IDC_READ_COUNT, QString::number(kBigSize));
    OnProgressWindow user(&ExchangeTest::Cancel);
    const QStringList boxes = Click(IDC_READ_TEXT);
    ASSERT_TRUE(user.Fired());
    const QString shown = Shown(IDC_TEXT);
    EXPECT_EQ(boxes, QStringList{QStringLiteral("数据已读出。读出 %1 字节后已取消。").arg(shown.size())});
    EXPECT_GT(shown.size(), 0);
    EXPECT_EQ(shown.size() % 512, 0);
    EXPECT_LT(shown.size(), kBigSize);
    EXPECT_EQ(shown, QString(shown.size(), QLatin1Char('r')));
}

TEST_F(ExchangeTest, TheProgressWindowOpensCentredOnTheDialog) {
    OpenBigFile();
    QPoint offset;
    OnProgressWindow user([this, &offset](QDialog* progress) {
        offset = progress->frameGeometry().center() - Window()->frameGeometry().center();
    });
    EXPECT_EQ(WriteBigPcFile(), QStringList{kWriteOk});
    ASSERT_TRUE(user.Fired());
    EXPECT_LE(offset.manhattanLength(), 2) << offset.x() << "," << offset.y();
}

TEST_F(ExchangeTest, DuringAWaitTheWindowIsPaintedAndShowsItIsBusy) {
    SimFault late;
    late.kind = SimFault::kDelay;
    late.value = 1500;
    m_module->ArmFault(late);
    int ticks = 0;
    int paints = 0;
    bool busyDuringWait = false;
    QTimer timer;
    timer.setInterval(50);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        const QCursor* cursor = QApplication::overrideCursor();
        if (cursor != nullptr && cursor->shape() == Qt::WaitCursor) busyDuringWait = true;
        Window()->update();  // as an uncovered window would need
    });
    class PaintCounter : public QObject {
    public:
        explicit PaintCounter(int* count) : m_count(count) {}
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint) ++*m_count;
            return false;
        }

    private:
        int* m_count;
    } counter(&paints);
    Window()->installEventFilter(&counter);
    timer.start();
    const auto start = Clock::now();
    EXPECT_EQ(Click(IDC_GET_INFO), QStringList{QStringLiteral("打开设备成功!")});
    const long elapsed = ElapsedMs(start);
    timer.stop();
    Window()->removeEventFilter(&counter);
    EXPECT_GE(elapsed, 1500);
    EXPECT_GE(ticks, 15) << "the event loop ran only " << ticks << " times in " << elapsed << " ms";
    EXPECT_GE(paints, 10);
    EXPECT_TRUE(busyDuringWait);
    EXPECT_EQ(m_answerer.boxes.back().cursor, Qt::ArrowCursor);  // a box in between takes input as usual
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(ExchangeTest, APcFileThatIsNoRegularFileIsRefusedWithoutBlocking) {
    OpenBigFile();
    const QByteArray fifo = PcPath(QStringLiteral("pipe")).toLocal8Bit();
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);
    for (const QString& path : {PcPath(QStringLiteral("pipe")), QStringLiteral("/dev/zero")}) {
        m_answerer.files = {path};
        const auto start = Clock::now();
        const QStringList shown = Click(IDC_WRITE_FILE);
        EXPECT_LT(ElapsedMs(start), 2000);
        ASSERT_EQ(shown.size(), 1);
        EXPECT_TRUE(shown[0].contains(QStringLiteral("不是普通文件"))) << qPrintable(shown[0]);
    }
    EXPECT_TRUE(m_module->Requests().empty());
}

}  // namespace
