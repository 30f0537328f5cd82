// The window while a handler talks to the module.
//
// The program has one thread, and a handler holds it for the whole of its
// exchanges (some 16 s for each port a search finds silent, minutes for a
// transfer). Over that time:
//   * no user input reaches the dialog: keys, clicks, the close box and Esc
//     are dropped, not queued, so no second handler can start inside an
//     exchange and the dialog cannot end while the port is in use;
//   * the window stays painted: the serial channel's waits, the search and
//     the transfers let Qt repaint between slices;
//   * the cursor shows that the program is busy.
// The one exception is a control registered with AllowInput (the progress
// window's cancel button), which takes clicks and Space.
//
// A scope nests; the outermost one installs and removes all of this. A
// modal box or file dialog shown inside a handler runs in a ModalPause:
// it takes input as usual and shows the normal cursor.
#ifndef TOVREL_APP_EXCHANGESCOPE_H
#define TOVREL_APP_EXCHANGESCOPE_H

class QWidget;

class ExchangeScope {
public:
    ExchangeScope();
    ~ExchangeScope();
    ExchangeScope(const ExchangeScope&) = delete;
    ExchangeScope& operator=(const ExchangeScope&) = delete;

    // True while some scope is open and not paused.
    static bool Active();

    // Paints what needs painting and handles timers; user input meant for
    // anything but an allowed control is dropped. Called between and
    // during exchanges; does nothing within kPaintEveryMs of the last time.
    static void KeepPainted();
    static constexpr int kPaintEveryMs = 25;

    // Lets the control take mouse clicks and Space while it lives.
    static void AllowInput(QWidget* control);

    // Whether the program is to end: see EndRequested (DialogFramework.h).
    static void SetEndRequested(bool requested);
    static bool EndRequested();

    class ModalPause {
    public:
        ModalPause();
        ~ModalPause();
        ModalPause(const ModalPause&) = delete;
        ModalPause& operator=(const ModalPause&) = delete;

    private:
        bool m_paused;
    };
};

#endif
