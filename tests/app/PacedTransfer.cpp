#include "PacedTransfer.h"

#include <QApplication>
#include <QTest>

#include "app/Resources.h"

QByteArray BigData() {
    QByteArray data(kBigSize, '\0');
    for (int i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 512);
    return data;
}

QDialog* ProgressWindow() {
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->objectName() == QLatin1String("TransferProgress") && top->isVisible()) return qobject_cast<QDialog*>(top);
    return nullptr;
}

OnProgressWindow::OnProgressWindow(std::function<void(QDialog*)> act) : m_act(std::move(act)) {
    m_timer.setInterval(20);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        if (QDialog* window = ProgressWindow()) {
            m_timer.stop();
            m_fired = true;
            m_act(window);
        }
    });
    m_timer.start();
}

void PacedTransferTest::SetUp() {
    WindowTest::SetUp();
    SimConfig config;
    config.pace = true;
    StartModule(config);
    OpenWindow();
    ChooseItem(IDC_BAUD_RATE, 7);
    ASSERT_EQ(Click(IDC_SET_PARAMS).value(0), QStringLiteral("设置成功!当前参数已更新。"));
    Type(IDC_FILE_NAME, QStringLiteral("BIG.BIN"));
}

void PacedTransferTest::OpenBigFile(const QByteArray& onDisk) {
    if (!onDisk.isNull()) {
        ASSERT_TRUE(m_module->WriteDiskFile("/BIG.BIN", std::vector<uint8_t>(onDisk.begin(), onDisk.end())));
    }
    ASSERT_EQ(Click(IDC_OPEN_CREATE), QStringList());
    m_module->ClearRequests();
}

QByteArray PacedTransferTest::DiskFile() const {
    std::vector<uint8_t> contents;
    if (!m_module->ReadDiskFile("/BIG.BIN", &contents)) return "<missing>";
    return QByteArray(reinterpret_cast<const char*>(contents.data()), static_cast<qsizetype>(contents.size()));
}

QStringList PacedTransferTest::WriteBigPcFile() {
    WritePcFile(QStringLiteral("big.bin"), BigData());
    m_answerer.files = {PcPath(QStringLiteral("big.bin"))};
    return Click(IDC_WRITE_FILE);
}

void PacedTransferTest::WriteWholeWhileTheUserActs(std::function<void(QDialog*)> user) {
    OnProgressWindow acting(std::move(user));
    QStringList others;
    m_answerer.onOtherDialog = [&others](QDialog* dialog) {
        others << dialog->objectName();
        dialog->reject();
    };
    EXPECT_EQ(WriteBigPcFile(), QStringList{kWriteOk});
    ASSERT_TRUE(acting.Fired());
    EXPECT_TRUE(Window()->isVisible());
    EXPECT_EQ(DiskFile(), BigData());
    // Nothing but the chunks, one after another, then the status request
    // that reads the new size, and nothing queued for later.
    QTest::qWait(300);
    EXPECT_TRUE(others.isEmpty()) << qPrintable(others.join(QLatin1Char(',')));
    EXPECT_EQ(m_module->Requests().size(), 49u);
    EXPECT_EQ(RequestsOf(0x20).size(), 48u);
    EXPECT_EQ(RequestsOf(0x00).size(), 1u);
    EXPECT_EQ(ProgressWindow(), nullptr);
    EXPECT_TRUE(Window()->isVisible());
}
