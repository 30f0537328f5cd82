#include "TovrelDlg.h"

#include <iterator>

#include "AboutDlg.h"
#include "DataExchange.h"
#include "Resources.h"
#include "protocol/ModuleSearch.h"
#include "SerialChannelForHandlers.h"
#include "serial/SerialPorts.h"

CTovrelDlg::CTovrelDlg(CDialog* pParent)
    : CDialog(IDD_TOVREL_DIALOG, pParent), m_hIcon(LoadIconResource(IDR_MAINFRAME)) {}

CTovrelDlg::~CTovrelDlg() = default;

bool CTovrelDlg::OnCommand(int id, int notifyCode) {
    static const struct {
        int id;
        int notifyCode;
        void (CTovrelDlg::*handler)();
    } kMessageMap[] = {
        {IDC_OPEN_CREATE, BN_CLICKED, &CTovrelDlg::OnOpenCreate},
        {IDC_WRITE_FILE, BN_CLICKED, &CTovrelDlg::OnWriteFile},
        {IDC_SEEK, BN_CLICKED, &CTovrelDlg::OnSeek},
        {IDC_PORT, CBN_SELCHANGE, &CTovrelDlg::OnSelChangePort},
        {IDC_PORT, CBN_DROPDOWN, &CTovrelDlg::OnDropDownPort},
        {IDC_READ_FILE, BN_CLICKED, &CTovrelDlg::OnReadFile},
        {IDC_CLOSE_FILE, BN_CLICKED, &CTovrelDlg::OnCloseFile},
        {IDC_MAKE_DIR, BN_CLICKED, &CTovrelDlg::OnMakeDir},
        {IDC_GET_INFO, BN_CLICKED, &CTovrelDlg::OnGetInfo},
        {IDC_SET_PARAMS, BN_CLICKED, &CTovrelDlg::OnSetParams},
        {IDC_WRITE_TEXT, BN_CLICKED, &CTovrelDlg::OnWriteText},
        {IDC_READ_TEXT, BN_CLICKED, &CTovrelDlg::OnReadText},
        {IDC_SET_CURRENT_DIR, BN_CLICKED, &CTovrelDlg::OnSetCurrentDir},
        {IDC_DELETE_FILE, BN_CLICKED, &CTovrelDlg::OnDeleteFile},
        {IDC_DELETE_DIR, BN_CLICKED, &CTovrelDlg::OnDeleteDir},
    };
    for (const auto& entry : kMessageMap) {
        if (entry.id == id && entry.notifyCode == notifyCode) {
            // Every button talks to the module: on the port and rate shown.
            if (notifyCode == BN_CLICKED && !UseShownPortAndRate(id == IDC_SET_PARAMS)) return true;
            (this->*entry.handler)();
            return true;
        }
    }
    return CDialog::OnCommand(id, notifyCode);
}

void CTovrelDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
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
    CDialog::OnInitDialog();  // the members into the controls

    if (HasSystemMenu()) {
        const std::string about = LoadResourceString(IDS_ABOUTBOX);
        if (!about.empty()) {
            AppendSystemMenuSeparator();
            AppendSystemMenuItem(IDM_ABOUTBOX, about);
        }
    }
    SetIcon(m_hIcon, true);
    SetIcon(m_hIcon, false);

    for (const ComboItemNames& item : PortItems()) m_cbPort.AddString(item[0]);
    for (int rate : kModuleBaudRates) m_cbBaudRate.AddString(std::to_string(rate));
    for (const char* origin : {"从始端移", "从当前移", "从末端移"}) m_cbSeekOrigin.AddString(origin);
    m_cbPort.SetCurSel(0);
    m_cbBaudRate.SetCurSel(1);
    m_cbSeekOrigin.SetCurSel(0);

    DiskProtocolReset();

    m_nYear = 5;
    m_nMonth = 8;
    m_nDay = 25;
    m_nHour = 11;
    m_nMinute = 12;
    m_nSecond = 0;
    m_strFileName = "Norvatil.TXT";
    m_strNewDirName = "USB_HOST";
    UpdateData(false);

    // Opening a console of the kernel would change its line settings: COM1
    // is opened only once the user chooses it (or names it by TOVREL_COM1).
    if (IsUnnamedKernelConsole(PortNameOf(0).c_str())) {
        SelectPortAndRate(0, kModuleBaudRates[1], true);
        ShowMessage("串口1是本机内核的控制台，启动时未打开。请选择模块所在的串口（选择串口1即打开它），或按“获取”查找模块。");
    } else {
        OpenChannelFromCombos();
    }
    return true;
}

int CTovrelDlg::ChosenIndex(CComboBox& combo, const std::vector<ComboItemNames>& items, const char* what) {
    const int selected = combo.GetCurSel();
    if (selected >= 0) return selected;
    const int named = ItemNamedBy(combo.GetWindowText(), items);
    if (named >= 0) {
        combo.SetCurSel(named);
        return named;
    }
    std::vector<std::string> accepted;
    for (const ComboItemNames& names : items)
        accepted.push_back(names.size() > 1 ? names[1] : names[0]);
    ShowMessage(NoSuchItemMessage(what, combo.GetWindowText(), accepted));
    return -1;
}

std::vector<ComboItemNames> CTovrelDlg::PortItems() const { return PortComboItems(m_listedPorts); }

int CTovrelDlg::ChosenPortIndex() {
    // A port typed before the list was ever read may be one present now.
    if (m_cbPort.GetCurSel() < 0 && ItemNamedBy(m_cbPort.GetWindowText(), PortItems()) < 0) FillPortList();
    return ChosenIndex(m_cbPort, PortItems(), "串口");
}

int CTovrelDlg::ChosenBaudIndex() {
    std::vector<ComboItemNames> items;
    for (int rate : kModuleBaudRates) items.push_back({std::to_string(rate)});
    return ChosenIndex(m_cbBaudRate, items, "波特率");
}

int CTovrelDlg::ChosenSeekOrigin() {
    std::vector<ComboItemNames> items;
    for (int i = 0; i < m_cbSeekOrigin.GetCount(); ++i) items.push_back({m_cbSeekOrigin.GetLBText(i)});
    return ChosenIndex(m_cbSeekOrigin, items, "指针偏移类型");
}

std::string CTovrelDlg::PortNameOf(int index) const {
    // Items 0 and 1 are COM1 and COM2; the ports present follow them.
    if (index >= 2 && index - 2 < static_cast<int>(m_listedPorts.size()))
        return m_listedPorts[static_cast<size_t>(index - 2)].name;
    return kComPortItems[index == 1 ? 1 : 0].name;
}

bool CTovrelDlg::SelectPortAndRate(int portIndex, int rate, bool report) {
    theSerialChannel.Close(true);
    bool selected = true;
    if (portIndex >= 2) {
        theSerialChannel.SelectPortName(PortNameOf(portIndex).c_str());
    } else if (theSerialChannel.SelectPort(portIndex + 1) == 0) {
        selected = false;
        if (report) ShowMessage("打开串口失败!");
    }
    if (theSerialChannel.SelectBaudRate(rate) == 0) {
        selected = false;
        if (report) ShowMessage("设置波特率失败!");
    }
    return selected;
}

void CTovrelDlg::OpenChannelOn(int portIndex, int rate) {
    // A close not confirmed concerns the module left behind.
    if (PortNameOf(portIndex) != theSerialChannel.m_pszPortName) m_bCloseUnconfirmed = false;
    SelectPortAndRate(portIndex, rate, true);
    if (theSerialChannel.Open(8, 0, 0) != kSerialOk) ShowMessage("打开串口失败!");
}

void CTovrelDlg::OpenChannelFromCombos() {
    const int port = ChosenPortIndex();
    if (port < 0) return;
    const int baud = ChosenBaudIndex();
    if (baud < 0) return;
    OpenChannelOn(port, kModuleBaudRates[baud]);
}

bool CTovrelDlg::UseShownPortAndRate(bool keepRate) {
    const int port = ChosenPortIndex();
    if (port < 0) return false;
    const int baud = ChosenBaudIndex();
    if (baud < 0) return false;
    const int rate = keepRate ? theSerialChannel.m_nBaudRate : kModuleBaudRates[baud];
    // Kept where a file is open, the command goes there.
    if (!IsChannel(port, rate) && MayMoveTo(port, rate)) OpenChannelOn(port, rate);
    return true;
}

bool CTovrelDlg::IsChannel(int portIndex, int rate) const {
    return PortNameOf(portIndex) == theSerialChannel.m_pszPortName && rate == theSerialChannel.m_nBaudRate;
}

bool CTovrelDlg::MayMoveTo(int portIndex, int rate) {
    if (IsChannel(portIndex, rate)) return true;
    const std::string to = m_cbPort.GetLBText(portIndex) + "（" + std::to_string(rate) + "）";
    if (MayLeaveOpenFile("文件在" + ChannelText() + "的模块上打开着。\n先在那里关闭文件，再换到" + to + "吗？",
                         "关闭文件后切换", "不切换"))
        return true;
    ShowChannelInCombos();
    return false;
}

bool CTovrelDlg::MayLeaveOpenFile(const std::string& question, const char* leave, const char* stay) {
    if (g_pCurrentFile == nullptr) return true;
    if (AskQuestion(question, {leave, stay}, 1) != 0) return false;
    CloseOpenFile();  // a close not confirmed has been told
    return true;
}

std::string CTovrelDlg::ChannelText() const {
    std::string port = theSerialChannel.m_pszPortName;
    for (int i = 0; i < m_cbPort.GetCount(); ++i)
        if (PortNameOf(i) == theSerialChannel.m_pszPortName) port = m_cbPort.GetLBText(i);
    return port + "（" + std::to_string(theSerialChannel.m_nBaudRate) + "）";
}

void CTovrelDlg::ShowChannelInCombos() {
    for (int i = 0; i < m_cbPort.GetCount(); ++i)
        if (PortNameOf(i) == theSerialChannel.m_pszPortName) m_cbPort.SetCurSel(i);
    for (int i = 0; i < static_cast<int>(std::size(kModuleBaudRates)); ++i)
        if (kModuleBaudRates[i] == theSerialChannel.m_nBaudRate) m_cbBaudRate.SetCurSel(i);
}

void CTovrelDlg::OnOK() {
    if (HasFocus(IDC_PORT)) {
        const int port = ChosenPortIndex();
        if (port >= 0 && (PortNameOf(port) != theSerialChannel.m_pszPortName || theSerialChannel.m_hComm == nullptr))
            OnSelChangePort();
    } else if (HasFocus(IDC_BAUD_RATE)) {
        ChosenBaudIndex();
    } else if (HasFocus(IDC_SEEK_ORIGIN)) {
        ChosenSeekOrigin();
    }
}

void CTovrelDlg::OnCancel() {
    // Asked to end by the system (a signal), the program cannot ask.
    if ((g_pCurrentFile != nullptr || m_bCloseUnconfirmed) && !EndRequested()) {
        const char* question = g_pCurrentFile != nullptr ? "U盘上的文件还开着。退出前关闭它吗？"
                                                         : "模块未确认关闭文件，文件可能还开着。退出前再关闭一次吗？";
        switch (AskQuestion(question, {"关闭文件", "保持打开", "取消"}, 0)) {
            case 0:
                if (!CloseOpenFile()) return;  // told; the window stays
                break;
            case 1:
                break;
            default:
                return;
        }
    }
    CDialog::OnCancel();
}

int CTovrelDlg::ReopenChannel(int portNumber, int rate) { return ReopenSerialChannel(portNumber, rate) ? 1 : 0; }

void CTovrelDlg::OnSysCommand(unsigned nID, intptr_t lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    } else {
        CDialog::OnSysCommand(nID, lParam);
    }
}

void CTovrelDlg::OnHelp() {
    // The application's help command: there is no help file, and the about
    // box is what it has to tell.
    OnSysCommand(IDM_ABOUTBOX, 0);
}

void CTovrelDlg::OnPaint() {
    if (!IsIconic()) {
        DefaultPaint();
        return;
    }
    const int x = (ClientWidth() - SystemIconWidth() + 1) / 2;
    const int y = (ClientHeight() - SystemIconHeight() + 1) / 2;
    DrawIconAt(x, y, m_hIcon);
}
