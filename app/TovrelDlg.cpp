#include "TovrelDlg.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "AboutDlg.h"
#include "DataExchange.h"
#include "DialogTemplate.h"
#include "ExchangeScope.h"
#include "MessageBox.h"
#include "Resources.h"
#include "SystemMenu.h"
#include "protocol/DeviceCommands.h"
#include "protocol/ModuleSearch.h"
#include "serial/SerialChannel.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace {

constexpr int kIconSize = 32;  // the system's icon width and height

}  // namespace

CTovrelDlg::CTovrelDlg(QWidget* pParent) : QDialog(pParent), m_hIcon(LoadProgramIcon()) {
    // Caption and system menu (close box), no minimise or maximise box.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    BuildDialog(this, MainDialogTemplate(), m_hIcon);
    m_pSystemMenu = std::make_unique<SystemMenu>(this, [this](unsigned id) { OnSysCommand(id, 0); });
    BindMessageMap();
}

CTovrelDlg::~CTovrelDlg() = default;

void CTovrelDlg::BindMessageMap() {
    const struct {
        int id;
        void (CTovrelDlg::*handler)();
    } clicks[] = {
        {IDC_OPEN_CREATE, &CTovrelDlg::OnOpenCreate},   {IDC_WRITE_FILE, &CTovrelDlg::OnWriteFile},
        {IDC_SEEK, &CTovrelDlg::OnSeek},                {IDC_READ_FILE, &CTovrelDlg::OnReadFile},
        {IDC_CLOSE_FILE, &CTovrelDlg::OnCloseFile},     {IDC_MAKE_DIR, &CTovrelDlg::OnMakeDir},
        {IDC_GET_INFO, &CTovrelDlg::OnGetInfo},         {IDC_SET_PARAMS, &CTovrelDlg::OnSetParams},
        {IDC_WRITE_TEXT, &CTovrelDlg::OnWriteText},     {IDC_READ_TEXT, &CTovrelDlg::OnReadText},
        {IDC_SET_CURRENT_DIR, &CTovrelDlg::OnSetCurrentDir}, {IDC_DELETE_FILE, &CTovrelDlg::OnDeleteFile},
        {IDC_DELETE_DIR, &CTovrelDlg::OnDeleteDir},
    };
    for (const auto& entry : clicks) {
        auto* button = qobject_cast<QPushButton*>(DialogItem(this, entry.id));
        connect(button, &QPushButton::clicked, this, [this, handler = entry.handler] { Dispatch(handler); });
    }
    // A selection by the user, as a selection-change notification: setting
    // the index from code, or typing into the edit field, does not reopen
    // the port.
    auto* port = qobject_cast<QComboBox*>(DialogItem(this, IDC_PORT));
    connect(port, &QComboBox::activated, this, [this] { Dispatch(&CTovrelDlg::OnSelChangePort); });
}

void CTovrelDlg::Dispatch(void (CTovrelDlg::*handler)()) {
    // No second handler can start inside this one's exchanges.
    if (ExchangeScope::Active()) return;
    ExchangeScope scope;
    (this->*handler)();
}

void CTovrelDlg::SetInitialFocus() {
    // As a dialog does after its initialisation: the first tab stop, an
    // edit's text selected.
    QWidget* first = DialogItem(this, IDC_FILE_NAME);
    first->setFocus(Qt::TabFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(first)) edit->selectAll();
}

int CTovrelDlg::DoModal() {
    if (!m_bInitialised && OnInitDialog()) SetInitialFocus();
    return exec();
}

void CTovrelDlg::Create() {
    if (!m_bInitialised && OnInitDialog()) SetInitialFocus();
    show();
}

bool CTovrelDlg::UpdateData(bool bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return !dx.Failed();
}

void CTovrelDlg::DoDataExchange(CDataExchange* pDX) {
    DDX_Control(pDX, IDC_SEEK_ORIGIN, m_cbSeekOrigin);
    DDX_Control(pDX, IDC_PORT, m_cbPort);
    DDX_Control(pDX, IDC_BAUD_RATE, m_cbBaudRate);
    DDX_Text(pDX, IDC_FILE_NAME, m_strFileName);
    DDV_MaxChars(pDX, m_strFileName, 100);
    DDX_Text(pDX, IDC_NEW_DIR_NAME, m_strNewDirName);
    DDV_MaxChars(pDX, m_strNewDirName, 100);
    DDX_Text(pDX, IDC_HOUR, m_nHour);
    DDV_MinMaxByte(pDX, m_nHour, 0, 23);
    DDX_Text(pDX, IDC_MONTH, m_nMonth);
    DDV_MinMaxByte(pDX, m_nMonth, 1, 12);
    DDX_Text(pDX, IDC_MINUTE, m_nMinute);
    DDV_MinMaxByte(pDX, m_nMinute, 0, 59);
    DDX_Text(pDX, IDC_SEEK_OFFSET, m_nSeekOffset);
    DDX_Text(pDX, IDC_SECOND, m_nSecond);
    DDV_MinMaxByte(pDX, m_nSecond, 0, 59);
    DDX_Text(pDX, IDC_YEAR, m_nYear, 2);  // "20" stands before it
    DDV_MinMaxByte(pDX, m_nYear, 0, 99);
    DDX_Text(pDX, IDC_TEXT, m_strText);
    DDX_Text(pDX, IDC_DAY, m_nDay);
    DDV_MinMaxByte(pDX, m_nDay, 0, 31);
    DDX_Text(pDX, IDC_FILE_STATUS, m_strFileStatus);
    DDX_Text(pDX, IDC_DISK_STATUS, m_strDiskStatus);
    DDX_Text(pDX, IDC_FILE_SIZE, m_nFileSize);
    DDX_Text(pDX, IDC_READ_COUNT, m_nReadCount);
    DDX_Text(pDX, IDC_CURRENT_DIR, m_strCurrentDir);
    DDX_Text(pDX, IDC_DEL_DIR_NAME, m_strDelDirName);
    DDX_Text(pDX, IDC_DEL_FILE_NAME, m_strDelFileName);
}

bool CTovrelDlg::OnInitDialog() {
    m_bInitialised = true;
    UpdateData(false);

    if (m_pSystemMenu->Exists()) {
        const QString about = LoadResourceString(IDS_ABOUTBOX);
        if (!about.isEmpty()) {
            m_pSystemMenu->AppendSeparator();
            m_pSystemMenu->AppendItem(IDM_ABOUTBOX, about);
        }
    }
    setWindowIcon(m_hIcon);

    m_cbPort->addItems({QStringLiteral("串口1"), QStringLiteral("串口2")});
    m_cbPort->model()->sort(0);  // a sorted list
    for (int rate : kModuleBaudRates) m_cbBaudRate->addItem(QString::number(rate));
    m_cbSeekOrigin->addItems({QStringLiteral("从始端移"), QStringLiteral("从当前移"), QStringLiteral("从末端移")});
    m_cbPort->setCurrentIndex(0);
    m_cbBaudRate->setCurrentIndex(1);
    m_cbSeekOrigin->setCurrentIndex(0);

    DiskProtocolReset();

    m_nYear = 5;
    m_nMonth = 8;
    m_nDay = 25;
    m_nHour = 11;
    m_nMinute = 12;
    m_nSecond = 0;
    m_strFileName = QStringLiteral("Norvatil.TXT");
    m_strNewDirName = QStringLiteral("USB_HOST");
    UpdateData(false);

    OpenChannelFromCombos();
    return true;
}

int CTovrelDlg::SelectedIndex(QComboBox* combo) {
    int index = ComboCurSel(combo);
    if (index < 0 || index >= combo->count()) {
        // Text typed that names no item: the first item is used, and shown,
        // so the combo never shows something other than what is sent.
        index = 0;
        ComboSetCurSel(combo, index);
    }
    return index;
}

int CTovrelDlg::SelectedPortIndex() { return SelectedIndex(m_cbPort); }

int CTovrelDlg::SelectedBaudIndex() {
    return qMin(SelectedIndex(m_cbBaudRate), static_cast<int>(std::size(kModuleBaudRates)) - 1);
}

void CTovrelDlg::OpenChannelFromCombos() {
    const int port = SelectedPortIndex();
    theSerialChannel.Close(true);
    if (theSerialChannel.SelectPort(port + 1) == 0) ShowMessage(QStringLiteral("打开串口失败!"));
    if (theSerialChannel.SelectBaudRate(kModuleBaudRates[SelectedBaudIndex()]) == 0)
        ShowMessage(QStringLiteral("设置波特率失败!"));
    if (theSerialChannel.Open(8, 0, 0) != kSerialOk) ShowMessage(QStringLiteral("打开串口失败!"));
}

int CTovrelDlg::ReopenChannel(int portNumber, int rate) { return ReopenSerialChannel(portNumber, rate) ? 1 : 0; }

void CTovrelDlg::ShowMessage(const QString& text) { ShowMessageBox(this, text); }

void CTovrelDlg::accept() {
    if (UpdateData(true)) QDialog::accept();
}

void CTovrelDlg::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (enter && modifiers == Qt::NoModifier) {
        // A focused button takes Enter; anywhere else it is the dialog's OK.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget()))
            button->click();
        else
            accept();
        return;
    }
    if (event->key() == Qt::Key_F1 && modifiers == Qt::NoModifier) {
        OnHelp();
        return;
    }
    if (event->key() == Qt::Key_Space && modifiers == Qt::AltModifier) {
        m_pSystemMenu->Popup(mapToGlobal(QPoint(0, 0)));
        return;
    }
    QDialog::keyPressEvent(event);
}

void CTovrelDlg::contextMenuEvent(QContextMenuEvent* event) { m_pSystemMenu->Popup(event->globalPos()); }

void CTovrelDlg::OnHelp() {
    // The application's help command: there is no help file, and the about
    // box is what it has to tell.
    OnSysCommand(IDM_ABOUTBOX, 0);
}

void CTovrelDlg::OnSysCommand(unsigned nID, intptr_t) {
    const unsigned command = nID & 0xFFFF;
    if (command >= IDM_ABOUTBOX && command <= IDM_ABOUTBOX + 0x0F) {
        CAboutDlg dlgAbout(this);
        dlgAbout.DoModal();
    } else if ((command & 0xFFF0) == SC_CLOSE_COMMAND) {
        close();
    }
}

bool CTovrelDlg::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
#ifdef _WIN32
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message == WM_SYSCOMMAND) {
        const unsigned command = static_cast<unsigned>(msg->wParam) & 0xFFFF;
        if (command >= IDM_ABOUTBOX && command <= IDM_ABOUTBOX + 0x0F) {
            OnSysCommand(static_cast<unsigned>(msg->wParam), static_cast<intptr_t>(msg->lParam));
            *result = 0;
            return true;
        }
    }
#endif
    return QDialog::nativeEvent(eventType, message, result);
}

void CTovrelDlg::paintEvent(QPaintEvent* event) { OnPaint(event); }

void CTovrelDlg::OnPaint(QPaintEvent* event) {
    if (!isMinimized()) {
        QDialog::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const int x = (width() - kIconSize + 1) / 2;
    const int y = (height() - kIconSize + 1) / 2;
    painter.drawPixmap(x, y, m_hIcon.pixmap(kIconSize, kIconSize));
}
