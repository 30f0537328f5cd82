// Drives the real dialog on the offscreen platform against the module
// simulator on a pseudo-terminal (COM1), the way a user does: clicks,
// typing, combo selections. Message boxes and file dialogs are answered
// from a timer armed before the click, and what they showed is kept.
#ifndef TOVREL_TESTS_APP_WINDOWTEST_H
#define TOVREL_TESTS_APP_WINDOWTEST_H

#include <gtest/gtest.h>

#include <QDialog>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/TovrelDlg.h"
#include "app/qt/QtDialog.h"
#include "sim/ModuleSimulator.h"

class QWidget;

// A message box as it was shown.
struct ShownBox {
    QString text;
    QString caption;
    bool hasIcon = false;
    QStringList buttons;
    QWidget* owner = nullptr;
    int width = 0;  // of the box, as shown
    QPoint centre;  // of the box's frame, on the screen
    bool ownerOnScreen = false;  // its owner exposed then
    int cursor = -1;  // the application's override cursor meanwhile, -1 none
};

class ModalAnswerer {
public:
    ModalAnswerer();
    void Start();
    void Stop();

    std::deque<QString> files;  // for file dialogs, in order; "" cancels
    std::deque<QString> choices;  // for questions, in order: the button's label; none left: the first
    std::function<void(QDialog*)> onOtherDialog;  // any other modal dialog (it must end it)
    std::vector<ShownBox> boxes;
    QStringList fileDialogs;  // object names of the file dialogs met
    QStringList fileDialogButtons;  // texts of the buttons of the last file dialog met
    bool readListing = false;  // read the file dialog's list (waits for it to load)
    QStringList fileDialogListing;  // its list's headers, then each row's cells
    QStringList fileDialogFilters;  // its file types
    // The headers of its list's columns narrower than what they show, or
    // than the dialog (read with the list).
    QStringList fileDialogCutColumns;

private:
    void Poll();
    QTimer m_timer;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The module on COM1 (COM2 absent unless a test points it somewhere).
    ModuleSimulator& StartModule(SimConfig config = {});
    // Creates and shows the dialog; the texts of the boxes its start showed.
    QStringList OpenWindow();
    // Clicks a button; the texts of the boxes the click showed, in order.
    QStringList Click(int id);
    // Runs any action with the boxes answered.
    QStringList Answering(const std::function<void()>& action);

    void Type(int id, const QString& text);
    void ChooseItem(int comboId, int index);  // with the keyboard, as a user
    QString Shown(int id) const;
    QWidget* Item(int id) const;
    // The dialog's window.
    QDialog* Window() const { return QtWindowOf(*m_dlg); }

    // The simulator's requests with a given command byte.
    std::vector<std::vector<uint8_t>> RequestsOf(uint8_t command) const;
    // A file in the test's PC folder (the process's current directory).
    QString PcPath(const QString& name) const;
    void WritePcFile(const QString& name, const QByteArray& contents) const;
    QByteArray ReadPcFile(const QString& name) const;

    std::unique_ptr<ModuleSimulator> m_module;
    std::unique_ptr<CTovrelDlg> m_dlg;
    ModalAnswerer m_answerer;
    QTemporaryDir m_pcFolder;
    QString m_previousDir;
};

std::vector<uint8_t> AsBytes(const char* text);

// Texts as text in gtest's messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

#endif
