#include "SystemMenu.h"

#include <QMenu>
#include <QWidget>

#include "app/DialogFramework.h"

SystemMenu::SystemMenu(QWidget* window, std::function<void(unsigned)> onCommand)
    : m_pMenu(new QMenu(window)), m_onCommand(std::move(onCommand)) {
    m_pMenu->setObjectName(QStringLiteral("SystemMenu"));
    // What a window manager's menu would offer for a dialog without
    // minimise or maximise box.
    QAction* close = m_pMenu->addAction(QStringLiteral("关闭(&C)"));
    close->setShortcut(QKeySequence(QStringLiteral("Alt+F4")));
    QObject::connect(close, &QAction::triggered, m_pMenu, [this] { m_onCommand(SC_CLOSE_COMMAND); });
}

SystemMenu::~SystemMenu() = default;

void SystemMenu::AppendSeparator() { m_pMenu->addSeparator(); }

void SystemMenu::AppendItem(unsigned id, const QString& text) {
    QAction* item = m_pMenu->addAction(text);
    QObject::connect(item, &QAction::triggered, m_pMenu, [this, id] { m_onCommand(id); });
}

void SystemMenu::Popup(const QPoint& globalPosition) { m_pMenu->popup(globalPosition); }

QStringList SystemMenu::ItemTexts() const {
    QStringList texts;
    for (const QAction* action : m_pMenu->actions()) texts << (action->isSeparator() ? QString() : action->text());
    return texts;
}
