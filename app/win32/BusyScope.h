// The window while a handler talks to the module.
//
// The program has one thread, and a handler holds it for the whole of its
// exchanges (some 16 s for each port a search finds silent, minutes for a
// transfer). Over that time:
//   * no user input reaches the dialog: it is disabled, so the system sends
//     it no clicks and its close box does nothing; input already queued, or
//     posted meanwhile, is dropped, not kept for later; and the dialog's
//     own command dispatch starts no second handler;
//   * the window stays painted: every wait of the serial channel, the
//     search and the transfers pump paint and timer messages;
//   * the cursor is the wait cursor.
// A window registered with AllowInput (the progress window) takes input
// as usual. A message box or file dialog shown inside a handler runs in a
// ModalPause: the dialog is its enabled owner again, with the normal cursor.
#ifndef TOVREL_APP_WIN32_BUSYSCOPE_H
#define TOVREL_APP_WIN32_BUSYSCOPE_H

#include "Win32Api.h"

class BusyScope {
public:
    explicit BusyScope(HWND dialog);
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

    // True while a handler runs, paused or not.
    static bool InHandler();
    // True while a handler runs and no modal box is up.
    static bool ShowsBusy();

    // Dispatches what is waiting, input meant for the dialog excepted, for
    // a bounded time. Called between and during exchanges.
    static void KeepPainted();

    // The window (and its children) that takes input meanwhile; null: none.
    static void AllowInput(HWND window);

    // The control that gets the focus when the handler ends (a disabled
    // dialog can give none before).
    static void FocusWhenDone(HWND control);

    // Destroys a window owned by the busy dialog so that the activation
    // goes back to the dialog rather than to another program.
    static void DestroyOwnedWindow(HWND window);

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
