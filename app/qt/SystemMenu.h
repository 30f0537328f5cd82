// The window's system menu. No window manager's own menu can be extended
// from Qt, so it is a popup of our own, opened by Alt+Space or a right
// click on the dialog's background (the window's context menu); its items
// report their command ids, as system commands.
#ifndef TOVREL_APP_QT_SYSTEMMENU_H
#define TOVREL_APP_QT_SYSTEMMENU_H

#include <QString>
#include <QStringList>

#include <functional>

class QMenu;
class QPoint;
class QWidget;

class SystemMenu {
public:
    // onCommand receives the id of a chosen item.
    SystemMenu(QWidget* window, std::function<void(unsigned)> onCommand);
    ~SystemMenu();
    SystemMenu(const SystemMenu&) = delete;
    SystemMenu& operator=(const SystemMenu&) = delete;

    void AppendSeparator();
    void AppendItem(unsigned id, const QString& text);

    // Opens the popup at a global position.
    void Popup(const QPoint& globalPosition);
    QMenu* Menu() const { return m_pMenu; }
    // Item texts in order, "" for a separator.
    QStringList ItemTexts() const;

private:
    QMenu* m_pMenu;  // owned by the window
    std::function<void(unsigned)> m_onCommand;
};

#endif
