#include "ExchangeScope.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QKeyEvent>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <vector>

#include "serial/SerialChannel.h"

namespace {

int g_depth = 0;   // open scopes
bool g_endRequested = false;
int g_pauses = 0;  // open pauses inside them
std::vector<QPointer<QWidget>> g_allowed;

bool IsUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::ContextMenu:
        case QEvent::InputMethod:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletMove:
        case QEvent::TabletRelease:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            return true;
        default:
            return false;
    }
}

bool AllowedFor(const QWidget* target, const QEvent* event) {
    for (const QPointer<QWidget>& allowed : g_allowed) {
        if (allowed.isNull() || (target != allowed && !allowed->isAncestorOf(target))) continue;
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::MouseMove:
                return true;
            case QEvent::KeyPress:
            case QEvent::KeyRelease: {
                // Space presses a button; with Alt it is the system menu's.
                const auto* key = static_cast<const QKeyEvent*>(event);
                return key->key() == Qt::Key_Space && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
            }
            default:
                return false;
        }
    }
    return false;
}

// A window holding an allowed control (the progress window's 取消): its
// input goes on to the controls, where each is judged.
bool HoldsAllowedControl(const QWindow* window) {
    for (const QPointer<QWidget>& allowed : g_allowed)
        if (!allowed.isNull() && allowed->window()->windowHandle() == window) return true;
    return false;
}

class InputDropper : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!ExchangeScope::Active()) return false;
        // A shortcut may go to an action rather than a widget.
        if (event->type() == QEvent::Shortcut) return true;
        // Input reaches the window before its widget, and a press there
        // already moves the focus to the control under it: stop it there.
        if (auto* window = qobject_cast<QWindow*>(watched))
            return IsUserInput(event->type()) && !HoldsAllowedControl(window);
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr) return false;
        // The close box, Alt+F4 and the like arrive from the window system.
        // A close event is accepted unless ignored, and an accepted one hides
        // the window even when nobody received it.
        if (event->type() == QEvent::Close && event->spontaneous()) {
            event->ignore();
            return true;
        }
        return IsUserInput(event->type()) && !AllowedFor(widget, event);
    }
};

InputDropper* g_dropper = nullptr;

void RepaintWhileWaiting(void*) { ExchangeScope::KeepPainted(); }

}  // namespace

ExchangeScope::ExchangeScope() {
    if (g_depth++ > 0) return;
    g_dropper = new InputDropper;
    QCoreApplication::instance()->installEventFilter(g_dropper);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    theSerialChannel.SetIdleHook(&RepaintWhileWaiting, nullptr);
}

ExchangeScope::~ExchangeScope() {
    if (--g_depth > 0) return;
    theSerialChannel.SetIdleHook(nullptr, nullptr);
    QApplication::restoreOverrideCursor();
    QCoreApplication::instance()->removeEventFilter(g_dropper);
    delete g_dropper;
    g_dropper = nullptr;
    g_allowed.clear();
}

bool ExchangeScope::Active() { return g_depth > 0 && g_pauses == 0; }

void ExchangeScope::KeepPainted() {
    if (!Active()) return;
    // Called in every wait's slices and after every chunk: once a slice
    // has painted, a chunk's end soon after need not paint again while the
    // line waits for the next request.
    using Clock = std::chrono::steady_clock;
    static Clock::time_point lastPainted;
    const Clock::time_point now = Clock::now();
    if (now - lastPainted < std::chrono::milliseconds(kPaintEveryMs)) return;
    lastPainted = now;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void ExchangeScope::AllowInput(QWidget* control) {
    g_allowed.erase(std::remove_if(g_allowed.begin(), g_allowed.end(), [](const QPointer<QWidget>& w) { return w.isNull(); }),
                    g_allowed.end());
    g_allowed.emplace_back(control);
}

ExchangeScope::ModalPause::ModalPause() : m_paused(g_depth > 0) {
    if (!m_paused) return;
    ++g_pauses;
    QApplication::setOverrideCursor(Qt::ArrowCursor);
}

ExchangeScope::ModalPause::~ModalPause() {
    if (!m_paused) return;
    QApplication::restoreOverrideCursor();
    --g_pauses;
}

void ExchangeScope::SetEndRequested(bool requested) { g_endRequested = requested; }

bool ExchangeScope::EndRequested() { return g_endRequested; }
