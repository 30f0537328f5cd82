#include "XInput.h"

#include <QPoint>
#include <QString>
#include <QWidget>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

Display* Dpy(void* display) { return static_cast<Display*>(display); }

void FakeKey(Display* display, KeySym symbol, bool down) {
    XTestFakeKeyEvent(display, XKeysymToKeycode(display, symbol), down ? True : False, CurrentTime);
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

void XInput::Click(const QWidget* widget) { ClickAt(widget->mapToGlobal(widget->rect().center())); }

void XInput::ClickAt(const QPoint& at) {
    XTestFakeMotionEvent(Dpy(m_display), -1, at.x(), at.y(), CurrentTime);
    XTestFakeButtonEvent(Dpy(m_display), 1, True, CurrentTime);
    XTestFakeButtonEvent(Dpy(m_display), 1, False, CurrentTime);
    XFlush(Dpy(m_display));
}

void XInput::Wheel(const QWidget* widget, bool up) {
    const QPoint at = widget->mapToGlobal(widget->rect().center());
    const unsigned button = up ? 4 : 5;  // X's wheel buttons
    XTestFakeMotionEvent(Dpy(m_display), -1, at.x(), at.y(), CurrentTime);
    XTestFakeButtonEvent(Dpy(m_display), button, True, CurrentTime);
    XTestFakeButtonEvent(Dpy(m_display), button, False, CurrentTime);
    XFlush(Dpy(m_display));
}

void XInput::Type(const QString& text) {
    Display* display = Dpy(m_display);
    for (const QChar c : text) {
        const char ascii = c.toLatin1();
        const bool shifted = ascii >= 'A' && ascii <= 'Z';
        const KeySym symbol = ascii == ' ' ? XK_space : static_cast<KeySym>(shifted ? ascii - 'A' + 'a' : ascii);
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
    }
    const bool alt = key == Key::kAltSpace || key == Key::kAltDown;
    if (alt) FakeKey(display, XK_Alt_L, true);
    FakeKey(display, symbol, true);
    FakeKey(display, symbol, false);
    if (alt) FakeKey(display, XK_Alt_L, false);
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
