// window_transfer_bench [KiB (128)]: the window's 写文件 and 读文件 against
// the simulator paced at 115200 bit/s, on the offscreen platform, as a
// share of the line's 11,520 bytes/s. Each is timed to the box that ends
// it, 写文件 from the file dialog's answer and 读文件 from the click: the
// progress window, the repaints during the waits and the PC file's reading
// and saving are in the figure, the user's choosing a file is not.
// transfer_bench gives the protocol's own share beside it.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Resources.h"
#include "app/TovrelDlg.h"
#include "app/qt/QtDialog.h"
#include "app/qt/QtDialogBuilder.h"
#include "sim/ModuleSimulator.h"

namespace {

constexpr double kLineBytesPerSecond = 115200.0 / 10.0;

using Clock = std::chrono::steady_clock;

// Answers what the handlers show: the file dialog with `file`, every box
// with its button; the boxes' texts and when they were met are kept.
class Answerer : public QObject {
public:
    QString file;
    QStringList boxes;
    Clock::time_point fileChosen, lastBox;
    Answerer() {
        connect(&m_timer, &QTimer::timeout, this, [this] { Poll(); });
        m_timer.start(2);
    }

private:
    void Poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            lastBox = Clock::now();
            boxes << box->text();
            box->buttons().first()->click();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            dialog->selectFile(file);
            fileChosen = Clock::now();
            static_cast<QDialog*>(dialog)->accept();
        }
    }
    QTimer m_timer;
};

// Clicks a button; when, and back once its handler ended.
Clock::time_point Click(CTovrelDlg& dialog, int id) {
    const Clock::time_point start = Clock::now();
    qobject_cast<QPushButton*>(DialogItem(QtWindowOf(dialog), id))->click();
    return start;
}

double Seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

}  // namespace

int main(int argc, char** argv) {
    const int kib = argc > 1 ? std::atoi(argv[1]) : 128;
    if (kib <= 0) {
        std::fprintf(stderr, "usage: window_transfer_bench [KiB]\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    QTemporaryDir folder;
    QDir::setCurrent(folder.path());  // where 读文件 saves

    SimConfig config;
    config.rate = 115200;
    config.pace = true;
    ModuleSimulator module(config);
    std::string error;
    if (!module.Start(&error)) {
        std::fprintf(stderr, "window_transfer_bench: %s\n", error.c_str());
        return 1;
    }
    setenv("TOVREL_COM1", module.SlavePath().c_str(), 1);
    setenv("TOVREL_PORTS", "", 1);

    const uint32_t bytes = static_cast<uint32_t>(kib) * 1024u;
    QByteArray data(static_cast<qsizetype>(bytes), '\0');
    for (uint32_t i = 0; i < bytes; ++i) data[static_cast<qsizetype>(i)] = static_cast<char>(i * 131 + 7);
    QFile pcFile(QDir(folder.path()).filePath(QStringLiteral("bench.bin")));
    if (!pcFile.open(QIODevice::WriteOnly) || pcFile.write(data) != data.size()) return 1;
    pcFile.close();

    Answerer answerer;
    answerer.file = pcFile.fileName();
    CTovrelDlg dialog;
    if (!dialog.Create()) return 1;
    dialog.SetDlgItemText(IDC_FILE_NAME, "BENCH.BIN");
    dialog.m_cbBaudRate.SetCurSel(7);  // the next button reopens the port at 115200
    Click(dialog, IDC_OPEN_CREATE);
    Click(dialog, IDC_WRITE_FILE);
    const double writeSeconds = Seconds(answerer.fileChosen, answerer.lastBox);
    // 读文件 reads from the file pointer, at the end after the write: open
    // it anew.
    Click(dialog, IDC_CLOSE_FILE);
    Click(dialog, IDC_OPEN_CREATE);
    const double readSeconds = Seconds(Click(dialog, IDC_READ_FILE), answerer.lastBox);

    std::vector<uint8_t> onDisk;
    QFile saved(QDir(folder.path()).filePath(QStringLiteral("BENCH.BIN")));
    const bool whole = module.ReadDiskFile("/BENCH.BIN", &onDisk) &&
                       QByteArray(reinterpret_cast<const char*>(onDisk.data()), static_cast<qsizetype>(onDisk.size())) == data &&
                       saved.open(QIODevice::ReadOnly) && saved.readAll() == data;
    if (!whole || answerer.boxes.size() != 2) {
        std::fprintf(stderr, "window_transfer_bench: the transfers did not end whole (%s)\n",
                     qPrintable(answerer.boxes.join(QLatin1Char('|'))));
        return 1;
    }
    std::printf("window, paced 115200 bit/s, %d KiB: 写文件 %.0f B/s (%.1f%% of the line), 读文件 %.0f B/s (%.1f%%)\n",
                kib, bytes / writeSeconds, 100.0 * bytes / writeSeconds / kLineBytesPerSecond, bytes / readSeconds,
                100.0 * bytes / readSeconds / kLineBytesPerSecond);
    return 0;
}
