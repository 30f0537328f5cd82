#include "SystemMenu.h"

#include <QMenu>
#include <QWidget>

#include "Resources.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {
HMENU WindowSystemMenu(QWidget* window) { return GetSystemMenu(reinterpret_cast<HWND>(window->winId()), FALSE); }
}  // namespace

SystemMenu::SystemMenu(QWidget* window, std::function<void(unsigned)> onCommand)
    : m_pWindow(window), m_onCommand(std::move(onCommand)) {}

SystemMenu::~SystemMenu() = default;

bool SystemMenu::Exists() const { return WindowSystemMenu(m_pWindow) != nullptr; }

void SystemMenu::AppendSeparator() { AppendMenuW(WindowSystemMenu(m_pWindow), MF_SEPARATOR, 0, nullptr); }

void SystemMenu::AppendItem(unsigned id, const QString& text) {
    AppendMenuW(WindowSystemMenu(m_pWindow), MF_STRING, id, reinterpret_cast<const wchar_t*>(text.utf16()));
}

void SystemMenu::Popup(const QPoint&) {}

QStringList SystemMenu::ItemTexts() const {
    QStringList texts;
    HMENU menu = WindowSystemMenu(m_pWindow);
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t buffer[256] = {};
        GetMenuStringW(menu, static_cast<UINT>(i), buffer, 256, MF_BYPOSITION);
        texts << QString::fromWCharArray(buffer);
    }
    return texts;
}

#else

SystemMenu::SystemMenu(QWidget* window, std::function<void(unsigned)> onCommand)
    : m_pWindow(window), m_pMenu(new QMenu(window)), m_onCommand(std::move(onCommand)) {
    m_pMenu->setObjectName(QStringLiteral("SystemMenu"));
    // What a window manager's menu would offer for a dialog without
    // minimise or maximise box.
    QAction* close = m_pMenu->addAction(QStringLiteral("关闭(&C)"));
    close->setShortcut(QKeySequence(QStringLiteral("Alt+F4")));
    QObject::connect(close, &QAction::triggered, m_pMenu, [this] { m_onCommand(SC_CLOSE_COMMAND); });
}

SystemMenu::~SystemMenu() = default;

bool SystemMenu::Exists() const { return m_pMenu != nullptr; }

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

#endif
