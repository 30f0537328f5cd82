// Input made by the X server itself (the XTEST extension), as a user's
// arrives: through the server and the toolkit's event queue. Its own header
// keeps Xlib's macros (None, Bool, ...) out of the tests.
#ifndef TOVREL_TESTS_APP_XINPUT_H
#define TOVREL_TESTS_APP_XINPUT_H

class QPoint;
class QString;
class QWidget;

class XInput {
public:
    enum class Key { kEscape, kReturn, kSpace, kF1, kAltSpace, kUp, kDown, kAltDown, kEnd, kBackSpace, kSelectAll };

    XInput();  // a connection of its own to $DISPLAY
    ~XInput();
    XInput(const XInput&) = delete;
    XInput& operator=(const XInput&) = delete;

    // An X server is there and has XTEST.
    bool Usable() const;
    // Whether the widget's window is on screen where Qt has it: viewable
    // (with a window manager: framed, placed and mapped by it) at the
    // position Qt knows. Before then a click lands on what lies below.
    bool OnScreen(const QWidget* widget) const;
    // Once the widget is on screen (at most 5 s), moves the pointer over
    // its middle and clicks there.
    void Click(const QWidget* widget);
    // The same at a point of the widget.
    void ClickAt(const QWidget* widget, const QPoint& at);
    // Once it is on screen, one notch of the wheel over the widget's
    // middle, away from the user (up) or towards.
    void Wheel(const QWidget* widget, bool up);
    // A key pressed and let go, where the pointer and the focus are.
    void Press(Key key);
    // Letters, digits, blanks and '/', typed key by key.
    void Type(const QString& text);
    // What a window manager sends when the user clicks the close box.
    void CloseBox(const QWidget* window);

private:
    // Waits (at most 5 s) for the widget to be on screen; where a point of
    // it is there. False when it never was, or went away.
    bool WaitOnScreen(const QWidget* widget, const QPoint& at, QPoint* global) const;

    void* m_display;  // Display*
};

#endif
