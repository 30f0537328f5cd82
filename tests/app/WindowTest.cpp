#include "WindowTest.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QTreeView>
#include <QWindow>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <cstdlib>
#include <cstring>

#include "app/qt/QtDialogBuilder.h"
#include "serial/SerialChannel.h"

ModalAnswerer::ModalAnswerer() {
    m_timer.setInterval(15);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
}

void ModalAnswerer::Start() { m_timer.start(); }

void ModalAnswerer::Stop() { m_timer.stop(); }

void ModalAnswerer::Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    // Boxes shown one after another may share an address: a property, not
    // the pointer, tells an answered one.
    if (modal == nullptr || !modal->isVisible() || modal->property("answered").toBool()) return;
    modal->setProperty("answered", true);
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        ShownBox shown;
        shown.text = box->text();
        shown.caption = box->windowTitle();
        shown.hasIcon = box->icon() != QMessageBox::NoIcon;
        for (QAbstractButton* button : box->buttons()) shown.buttons << button->text();
        shown.owner = box->parentWidget();
        shown.width = box->width();
        shown.centre = box->frameGeometry().center();
        shown.ownerOnScreen = shown.owner != nullptr && shown.owner->windowHandle() != nullptr &&
                              shown.owner->windowHandle()->isExposed();
        if (const QCursor* cursor = QApplication::overrideCursor()) shown.cursor = cursor->shape();
        boxes.push_back(shown);
        QAbstractButton* answer = box->buttons().first();
        if (shown.buttons.size() > 1 && !choices.empty()) {
            for (QAbstractButton* button : box->buttons())
                if (button->text() == choices.front()) answer = button;
            choices.pop_front();
        }
        answer->click();
        return;
    }
    if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
        fileDialogs << dialog->objectName();
        fileDialogButtons.clear();
        for (const QAbstractButton* button : dialog->findChildren<QAbstractButton*>())
            if (button->isVisible() && !button->text().isEmpty()) fileDialogButtons << button->text();
        fileDialogListing.clear();
        fileDialogFilters = dialog->nameFilters();
        fileDialogCutColumns.clear();
        if (auto* list = dialog->findChild<QTreeView*>(QStringLiteral("treeView")); list != nullptr && readListing) {
            // The folder is read in the background.
            (void)QTest::qWaitFor([list] { return list->model()->rowCount(list->rootIndex()) > 0; }, 2000);
            const QAbstractItemModel* model = list->model();
            for (int column = 0; column < model->columnCount(list->rootIndex()); ++column)
                fileDialogListing << model->headerData(column, Qt::Horizontal).toString();
            for (int row = 0; row < model->rowCount(list->rootIndex()); ++row)
                for (int column = 0; column < model->columnCount(list->rootIndex()); ++column)
                    fileDialogListing << model->index(row, column, list->rootIndex()).data().toString();
            const auto cut = [list] {
                QStringList columns;
                for (int column = 1; column < list->header()->count(); ++column)
                    if (list->columnWidth(column) < static_cast<const QAbstractItemView*>(list)->sizeHintForColumn(column) ||
                        list->header()->sectionViewportPosition(column) + list->columnWidth(column) > list->viewport()->width())
                        columns << list->model()->headerData(column, Qt::Horizontal).toString();
                return columns;
            };
            // Fitted once the folder is read.
            (void)QTest::qWaitFor([&cut] { return cut().isEmpty(); }, 2000);
            fileDialogCutColumns = cut();
        }
        const QString file = files.empty() ? QString() : files.front();
        if (!files.empty()) files.pop_front();
        if (file.isEmpty()) {
            dialog->reject();
        } else {
            // Typed into the name field, as a user would.
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (name != nullptr) name->setText(file);
            static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, checks the file
        }
        return;
    }
    if (auto* dialog = qobject_cast<QDialog*>(modal); dialog != nullptr && onOtherDialog) {
        onOtherDialog(dialog);
    }
}

void WindowTest::SetUp() {
    ASSERT_TRUE(m_pcFolder.isValid());
    m_previousDir = QDir::currentPath();
    QDir::setCurrent(m_pcFolder.path());
    setenv("TOVREL_COM1", "/nonexistent/tovrel-com1", 1);
    setenv("TOVREL_COM2", "/nonexistent/tovrel-com2", 1);
    // No port of this machine in the port list: a test names its own.
    setenv("TOVREL_PORTS", "", 1);
    g_pCurrentFile = nullptr;  // as at program start
}

void WindowTest::TearDown() {
    m_answerer.Stop();
    m_dlg.reset();
    theSerialChannel.Close(true);
    m_module.reset();
    QDir::setCurrent(m_previousDir);
    unsetenv("TOVREL_COM1");
    unsetenv("TOVREL_COM2");
    unsetenv("TOVREL_PORTS");
}

ModuleSimulator& WindowTest::StartModule(SimConfig config) {
    m_module = std::make_unique<ModuleSimulator>(config);
    std::string error;
    EXPECT_TRUE(m_module->Start(&error)) << error;
    setenv("TOVREL_COM1", m_module->SlavePath().c_str(), 1);
    return *m_module;
}

QStringList WindowTest::Answering(const std::function<void()>& action) {
    const size_t before = m_answerer.boxes.size();
    m_answerer.Start();
    action();
    m_answerer.Stop();
    QStringList texts;
    for (size_t i = before; i < m_answerer.boxes.size(); ++i) texts << m_answerer.boxes[i].text;
    return texts;
}

QStringList WindowTest::OpenWindow() {
    m_dlg = std::make_unique<CTovrelDlg>();
    return Answering([this] {
        m_dlg->Create();
        // The boxes of the start follow once the window is on screen.
        EXPECT_TRUE(QTest::qWaitForWindowExposed(Window()));
        QCoreApplication::sendPostedEvents();
    });
}

QWidget* WindowTest::Item(int id) const {
    QWidget* item = DialogItem(Window(), id);
    EXPECT_NE(item, nullptr) << "no control " << id;
    return item;
}

QStringList WindowTest::Click(int id) {
    auto* button = qobject_cast<QPushButton*>(Item(id));
    return Answering([button] { QTest::mouseClick(button, Qt::LeftButton); });
}

namespace {

// As typed on a keyboard; characters beyond ASCII arrive as the text of a
// key event, as an input method delivers them.
void TypeInto(QWidget* widget, const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x80)
            QTest::keyClick(widget, static_cast<char>(c.unicode()));
        else
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

}  // namespace

void WindowTest::Type(int id, const QString& text) {
    QWidget* item = Item(id);
    if (auto* combo = qobject_cast<QComboBox*>(item); combo != nullptr && combo->isEditable()) item = combo->lineEdit();
    item->setFocus();
    if (auto* edit = qobject_cast<QLineEdit*>(item)) {
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        TypeInto(edit, text);
    } else if (auto* text_edit = qobject_cast<QPlainTextEdit*>(item)) {
        text_edit->selectAll();
        QTest::keyClick(text_edit, Qt::Key_Delete);
        // Line breaks come in as Ctrl+Enter: a plain Enter is the dialog's.
        const QStringList lines = text.split(QLatin1Char('\n'));
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (i > 0) QTest::keyClick(text_edit, Qt::Key_Return, Qt::ControlModifier);
            TypeInto(text_edit, lines[i]);
        }
    }
}

void WindowTest::ChooseItem(int comboId, int index) {
    auto* combo = qobject_cast<QComboBox*>(Item(comboId));
    combo->setFocus();
    Answering([combo, index] {
        while (combo->currentIndex() < index) QTest::keyClick(combo, Qt::Key_Down);
        while (combo->currentIndex() > index) QTest::keyClick(combo, Qt::Key_Up);
    });
}

QString WindowTest::Shown(int id) const {
    const QWidget* item = DialogItem(Window(), id);
    if (const auto* edit = qobject_cast<const QLineEdit*>(item)) return edit->text();
    if (const auto* label = qobject_cast<const QLabel*>(item)) return label->text();
    if (const auto* text = qobject_cast<const QPlainTextEdit*>(item)) return text->toPlainText();
    if (const auto* combo = qobject_cast<const QComboBox*>(item)) return combo->currentText();
    return QStringLiteral("<no such control>");
}

std::vector<std::vector<uint8_t>> WindowTest::RequestsOf(uint8_t command) const {
    std::vector<std::vector<uint8_t>> matching;
    for (const auto& request : m_module->Requests())
        if (request.size() >= 3 && request[2] == command) matching.push_back(request);
    return matching;
}

QString WindowTest::PcPath(const QString& name) const { return QDir(m_pcFolder.path()).filePath(name); }

void WindowTest::WritePcFile(const QString& name, const QByteArray& contents) const {
    QFile file(PcPath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(contents), contents.size());
}

QByteArray WindowTest::ReadPcFile(const QString& name) const {
    QFile file(PcPath(name));
    if (!file.open(QIODevice::ReadOnly)) return "<missing>";
    return file.readAll();
}

std::vector<uint8_t> AsBytes(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }
