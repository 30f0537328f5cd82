// tovrel: the window. With --report-shown it prints the line "shown" on
// stdout once the window is on screen, for the start-up benchmark (which
// times it from the process's start). --help and --version print and end
// before Qt starts.
//
// Without a display Qt would abort (SIGABRT) inside QApplication's
// constructor: the window says what is missing in one line instead and
// exits 2, before Qt starts when no display is named at all, else when
// Qt's platform plugin fails.
//
// SIGINT, SIGTERM and SIGHUP end it as Cancel does, once no exchange with
// the module runs (a transfer stops between two chunks), closing any message box or
// file dialog over it: the port is closed and left as found, its lock file
// removed, and the exit status is 0. A signal ignored at start stays
// ignored (nohup).
#include <QApplication>
#include <QByteArray>
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
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

const char kUsage[] =
    "Usage: tovrel [Qt options]\n"
    "\n"
    "Opens the control panel for the USB host module on a serial port: COM1 at\n"
    "9600 bit/s at first (on Linux TOVREL_COM1 and TOVREL_COM2 name the devices of\n"
    "COM1 and COM2).\n"
    "It needs a display: a desktop session, or a virtual X server\n"
    "(xvfb-run -a tovrel).\n"
    "\n"
    "  --help       print this text and exit\n"
    "  --version    print the version and exit\n"
    "Qt's standard options are taken too, such as -platform NAME and\n"
    "-display DISPLAY.\n"
    "See tovrel(1).\n";

const char kDisplayHint[] = "run it from a desktop session, or under a virtual X server: xvfb-run -a tovrel";

bool EnvironmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

// Whether Qt is left to find a display of its own: no platform named by
// QT_QPA_PLATFORM or -platform, and no display by -display.
bool NoDisplayNamed(int argc, char** argv) {
    if (EnvironmentSet("QT_QPA_PLATFORM")) return false;
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i][0] == '-' && argv[i][1] == '-' ? argv[i] + 1 : argv[i];  // Qt takes --x as -x
        if (std::strcmp(option, "-platform") == 0 || std::strcmp(option, "-display") == 0) return false;
    }
    return true;
}

// What Qt's platform plugins said while QApplication was being made: kept
// back, and either shown once it stands or made the one line that says
// why it could not.
struct PlatformMessage {
    QtMsgType type;
    std::string category;
    QString text;
};
std::vector<PlatformMessage> g_platformMessages;
bool g_startingQt = false;
QtMessageHandler g_qtHandler = nullptr;

void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    const bool fromPlatform = context.category != nullptr && std::strncmp(context.category, "qt.qpa", 6) == 0;
    if (g_startingQt && type == QtFatalMsg && text.contains(QLatin1String("platform plugin"))) {
        QString why = QStringLiteral("no Qt platform plugin could be started");
        for (const PlatformMessage& said : g_platformMessages) {
            if (said.type != QtDebugMsg && said.type != QtInfoMsg) {
                why = said.text.trimmed();  // "could not connect to display :5"
                break;
            }
        }
        std::fprintf(stderr, "tovrel: cannot open the window: %s; %s\n", why.toLocal8Bit().constData(), kDisplayHint);
        std::fflush(stderr);
        _exit(2);
    }
    if (g_startingQt && fromPlatform) {
        g_platformMessages.push_back({type, context.category, text});
        return;
    }
    g_qtHandler(type, context, text);
}

// Qt's own messages of the start that went well, as Qt would have shown them.
void ReplayPlatformMessages() {
    for (const PlatformMessage& said : g_platformMessages) {
        const QMessageLogContext context(nullptr, 0, nullptr, said.category.c_str());
        g_qtHandler(said.type, context, said.text);
    }
    g_platformMessages.clear();
}

}  // namespace

int main(int argc, char** argv) {
    FillClosedStandardDescriptors();  // a port or a PC file is never standard output or error
    bool reportShown = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tovrel %s\n", kVersionNumber);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (std::strcmp(argv[i], "--report-shown") == 0) reportShown = true;
    }
#if !defined(_WIN32) && !defined(__APPLE__)
    if (NoDisplayNamed(argc, argv) && !EnvironmentSet("DISPLAY") && !EnvironmentSet("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "tovrel: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are not set); %s\n",
                     kDisplayHint);
        return 2;
    }
#endif

    UseChineseDates();
    g_qtHandler = qInstallMessageHandler(OnQtMessage);
    g_startingQt = true;
    QApplication application(argc, argv);
    g_startingQt = false;
    ReplayPlatformMessages();
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
