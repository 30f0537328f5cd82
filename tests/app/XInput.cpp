#include "XInput.h"

#include <QPoint>
#include <QPointer>
#include <QString>
#include <QTest>
#include <QWidget>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

Display* Dpy(void* display) { return static_cast<Display*>(display); }

void FakeKey(Display* display, KeySym symbol, bool down) {
    XTestFakeKeyEvent(display, XKeysymToKeycode(display, symbol), down ? True : False, CurrentTime);
}

void PointerTo(Display* display, const QPoint& at) { XTestFakeMotionEvent(display, -1, at.x(), at.y(), CurrentTime); }

void PressButton(Display* display, unsigned button) {
    XTestFakeButtonEvent(display, button, True, CurrentTime);
    XTestFakeButtonEvent(display, button, False, CurrentTime);
    XFlush(display);
}

}  // namespace

XInput::XInput() : m_display(XOpenDisplay(nullptr)) {}

XInput::~XInput() {
    if (m_display != nullptr) XCloseDisplay(Dpy(m_display));
}

bool XInput::Usable() const {
    int event = 0, error = 0, major = 0, minor = 0;
    return m_display != nullptr && XTestQueryExtension(Dpy(m_display), &event, &error, &major, &minor);
}

bool XInput::OnScreen(const QWidget* widget) const {
    const QWidget* window = widget->window();
    if (!window->isVisible()) return false;  // so its X window exists
    Display* display = Dpy(m_display);
    const auto id = static_cast<Window>(window->winId());
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, id, &attributes) == 0 || attributes.map_state != IsViewable) return false;
    int x = 0, y = 0;
    Window child = 0;
    return XTranslateCoordinates(display, id, DefaultRootWindow(display), 0, 0, &x, &y, &child) != 0 &&
           window->mapToGlobal(QPoint(0, 0)) == QPoint(x, y);
}

bool XInput::WaitOnScreen(const QWidget* widget, const QPoint& at, QPoint* global) const {
    const QPointer<const QWidget> target(widget);
    // Qt learns where the window went from the events it reads meanwhile.
    if (!QTest::qWaitFor([&] { return target.isNull() || OnScreen(target); }, 5000) || target.isNull()) return false;
    *global = target->mapToGlobal(at);
    return true;
}

void XInput::Click(const QWidget* widget) { ClickAt(widget, widget->rect().center()); }

void XInput::ClickAt(const QWidget* widget, const QPoint& at) {
    QPoint global;
    if (!WaitOnScreen(widget, at, &global)) return;  // the caller sees nothing happen
    PointerTo(Dpy(m_display), global);
    PressButton(Dpy(m_display), 1);
}

void XInput::Wheel(const QWidget* widget, bool up) {
    QPoint global;
    if (!WaitOnScreen(widget, widget->rect().center(), &global)) return;
    PointerTo(Dpy(m_display), global);
    PressButton(Dpy(m_display), up ? 4 : 5);  // X's wheel buttons
}

void XInput::Type(const QString& text) {
    Display* display = Dpy(m_display);
    for (const QChar c : text) {
        const char ascii = c.toLatin1();
        const bool shifted = ascii >= 'A' && ascii <= 'Z';
        const KeySym symbol = ascii == ' '   ? XK_space
                              : ascii == '/' ? XK_slash
                                             : static_cast<KeySym>(shifted ? ascii - 'A' + 'a' : ascii);
        if (shifted) FakeKey(display, XK_Shift_L, true);
        FakeKey(display, symbol, true);
        FakeKey(display, symbol, false);
        if (shifted) FakeKey(display, XK_Shift_L, false);
    }
    XFlush(display);
}

void XInput::Press(Key key) {
    Display* display = Dpy(m_display);
    KeySym symbol = XK_Escape;
    switch (key) {
        case Key::kEscape: symbol = XK_Escape; break;
        case Key::kReturn: symbol = XK_Return; break;
        case Key::kSpace:
        case Key::kAltSpace: symbol = XK_space; break;
        case Key::kF1: symbol = XK_F1; break;
        case Key::kUp: symbol = XK_Up; break;
        case Key::kDown:
        case Key::kAltDown: symbol = XK_Down; break;
        case Key::kEnd: symbol = XK_End; break;
        case Key::kBackSpace: symbol = XK_BackSpace; break;
        case Key::kSelectAll: symbol = XK_a; break;
    }
    const KeySym modifier = key == Key::kAltSpace || key == Key::kAltDown ? XK_Alt_L
                            : key == Key::kSelectAll                      ? XK_Control_L
                                                                          : NoSymbol;
    if (modifier != NoSymbol) FakeKey(display, modifier, true);
    FakeKey(display, symbol, true);
    FakeKey(display, symbol, false);
    if (modifier != NoSymbol) FakeKey(display, modifier, false);
    XFlush(display);
}

void XInput::CloseBox(const QWidget* window) {
    Display* display = Dpy(m_display);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = static_cast<Window>(window->winId());
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
    XFlush(display);
}
