// The window's system menu. On Windows it is the real one, extended in
// place; its commands arrive as WM_SYSCOMMAND (see the dialog's native event
// filter). Elsewhere no window manager's menu can be extended, so the menu
// is a popup of our own, opened by Alt+Space or a right click on the
// dialog's background, and its items report their command ids.
#ifndef TOVREL_APP_SYSTEMMENU_H
#define TOVREL_APP_SYSTEMMENU_H

#include <QString>
#include <QStringList>

#include <functional>

class QMenu;
class QPoint;
class QWidget;

class SystemMenu {
public:
    // onCommand receives the id of a chosen item of our own popup.
    SystemMenu(QWidget* window, std::function<void(unsigned)> onCommand);
    ~SystemMenu();
    SystemMenu(const SystemMenu&) = delete;
    SystemMenu& operator=(const SystemMenu&) = delete;

    // False when the window has no system menu to extend.
    bool Exists() const;
    void AppendSeparator();
    void AppendItem(unsigned id, const QString& text);

    // Opens the popup at a global position (no effect on Windows, where the
    // system shows its own).
    void Popup(const QPoint& globalPosition);
    // The popup itself, null on Windows.
    QMenu* Menu() const { return m_pMenu; }
    // Item texts in order, "" for a separator.
    QStringList ItemTexts() const;

private:
    QWidget* m_pWindow;
    QMenu* m_pMenu = nullptr;  // ours, off Windows; owned by m_pWindow
    std::function<void(unsigned)> m_onCommand;
};

#endif
