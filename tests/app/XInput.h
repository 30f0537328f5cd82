// Input made by the X server itself (the XTEST extension), as a user's
// arrives: through the server and the toolkit's event queue. Its own header
// keeps Xlib's macros (None, Bool, ...) out of the tests.
#ifndef TOVREL_TESTS_APP_XINPUT_H
#define TOVREL_TESTS_APP_XINPUT_H

class QWidget;

class XInput {
public:
    enum class Key { kEscape, kReturn, kSpace, kF1, kAltSpace };

    XInput();  // a connection of its own to $DISPLAY
    ~XInput();
    XInput(const XInput&) = delete;
    XInput& operator=(const XInput&) = delete;

    // An X server is there and has XTEST.
    bool Usable() const;
    // Moves the pointer over the widget's middle and clicks there.
    void Click(const QWidget* widget);
    // A key pressed and let go, where the pointer and the focus are.
    void Press(Key key);
    // What a window manager sends when the user clicks the close box.
    void CloseBox(const QWidget* window);

private:
    void* m_display;  // Display*
};

#endif
