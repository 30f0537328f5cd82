// tovrel: the window. With --report-shown it prints the line "shown" on
// stdout once the window is on screen, for the start-up benchmark (which
// times it from the process's start).
//
// SIGINT, SIGTERM and SIGHUP end it as Cancel does, once no exchange with
// the module runs (a transfer stops between two chunks), closing any message box or
// file dialog over it: the port is closed and left as found, its lock file
// removed, and the exit status is 0. A signal ignored at start stays
// ignored (nohup).
#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ExchangeScope.h"
#include "QtDialog.h"
#include "QtTranslations.h"
#include "app/Resources.h"
#include "app/TovrelApp.h"
#include "app/TovrelDlg.h"
#include "serial/StandardDescriptors.h"

namespace {

// Watches for the dialog's window to be exposed, then reports it.
class ShownReporter : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && !m_reported) {
            auto* window = qobject_cast<QWindow*>(watched);
            if (window != nullptr && window->isExposed()) {
                m_reported = true;
                std::printf("shown\n");
                std::fflush(stdout);
            }
        }
        return false;
    }

private:
    bool m_reported = false;
};

#ifndef _WIN32
// The signal handler only writes a byte to a pipe, which the event loop
// reads (the dialog's modal loop, a message box's, or the repainting
// between exchanges) and then ends the dialog from there.
int g_signalPipe[2] = {-1, -1};

void NoteEndingSignal(int) {
    const int savedErrno = errno;
    const char byte = 0;
    (void)!write(g_signalPipe[1], &byte, 1);  // a full pipe already says enough
    errno = savedErrno;
}

class EndOnSignals : public QObject {
public:
    EndOnSignals() {
        if (pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            char bytes[64];
            while (read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
            }
            ExchangeScope::SetEndRequested(true);  // a transfer stops after its chunk on the line
            EndWhenIdle();
        });
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction previous {};
            if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
            struct sigaction action {};
            action.sa_handler = NoteEndingSignal;
            action.sa_flags = SA_RESTART;
            sigemptyset(&action.sa_mask);
            sigaction(signal, &action, nullptr);
        }
    }

private:
    // Never inside an exchange: the port would close under it. The check
    // comes again every 50 ms until it is over (an exchange ends by its
    // own timeouts).
    void EndWhenIdle() {
        if (ExchangeScope::Active()) {
            QTimer::singleShot(50, this, [this] { EndWhenIdle(); });
            return;
        }
        if (theApp.m_pMainWnd != nullptr)
            if (QDialog* window = QtWindowOf(*theApp.m_pMainWnd)) window->reject();  // Cancel
        // Every modal loop ends, a message box's too, and none started after
        // this one waits (the application's own loop is never entered).
        QCoreApplication::exit(0);
    }
};
#endif

}  // namespace

int main(int argc, char** argv) {
    FillClosedStandardDescriptors();  // a port or a PC file is never standard output or error
    bool reportShown = false;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--report-shown") == 0) reportShown = true;

    UseChineseDates();
    QApplication application(argc, argv);
    InstallQtTranslations(&application);
    QApplication::setApplicationVersion(QString::fromLatin1(kVersionNumber));
    ShownReporter reporter;
    if (reportShown) application.installEventFilter(&reporter);
#ifndef _WIN32
    const EndOnSignals endOnSignals;
#endif
    theApp.InitInstance();
    return 0;
}
