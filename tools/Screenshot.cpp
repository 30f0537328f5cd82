// tovrel-screenshot OUTPUT.png [DISK_FOLDER]: the window as a user sees it
// after 获取 and 打开/创建, against the module simulator on a
// pseudo-terminal, rendered on the offscreen platform (no display needed).
#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/qt/QtDialog.h"
#include "app/qt/QtDialogBuilder.h"
#include "app/Resources.h"
#include "app/TovrelDlg.h"
#include "sim/ModuleSimulator.h"

namespace {

// Answers the message boxes a click opens, so the tool runs unattended.
void ClickWithBoxesAnswered(CTovrelDlg& dlg, int id) {
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->accept();
    });
    answer.start(20);
    qobject_cast<QAbstractButton*>(DialogItem(QtWindowOf(dlg), id))->click();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tovrel-screenshot OUTPUT.png [DISK_FOLDER]\n");
        return 2;
    }
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);

    SimConfig config;
    if (argc > 2) config.diskFolder = argv[2];
    ModuleSimulator simulator(config);
    std::string error;
    if (!simulator.Start(&error)) {
        std::fprintf(stderr, "tovrel-screenshot: %s\n", error.c_str());
        return 1;
    }
    setenv("TOVREL_COM1", simulator.SlavePath().c_str(), 1);

    CTovrelDlg dlg;
    dlg.Create();
    ClickWithBoxesAnswered(dlg, IDC_GET_INFO);
    ClickWithBoxesAnswered(dlg, IDC_OPEN_CREATE);
    QApplication::processEvents();
    QDialog* window = QtWindowOf(dlg);
    if (!window->grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "tovrel-screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: %dx%d, font %s\n", argv[1], window->width(), window->height(), qPrintable(window->font().family()));
    return 0;
}
