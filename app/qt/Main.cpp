// tovrel: the window. With --report-shown it prints the line "shown" on
// stdout once the window is on screen, for the start-up benchmark (which
// times it from the process's start).
#include <QApplication>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <cstring>

#include "QtTranslations.h"
#include "app/Resources.h"
#include "app/TovrelApp.h"

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

}  // namespace

int main(int argc, char** argv) {
    bool reportShown = false;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--report-shown") == 0) reportShown = true;

    UseChineseDates();
    QApplication application(argc, argv);
    InstallQtTranslations(&application);
    QApplication::setApplicationVersion(QString::fromLatin1(kVersionNumber));
    ShownReporter reporter;
    if (reportShown) application.installEventFilter(&reporter);
    theApp.InitInstance();
    return 0;
}
