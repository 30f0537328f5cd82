// The "系统信息" group: port selection, the module's status (with the
// port-and-rate search when it does not answer) and its clock and rate.
#include "DialogFramework.h"
#include "FailureText.h"
#include "TovrelDlg.h"
#include "protocol/DeviceCommands.h"
#include "protocol/ModuleSearch.h"
#include "SerialChannelForHandlers.h"

#include <string>
#include <vector>

namespace {

// A full search takes up to 16 waits; the window stays painted throughout.
void RepaintBetweenAttempts(int, int, void*) { KeepWindowPainted(); }

}  // namespace

namespace {

// The window's words for what a port is.
const PortWords kChinesePortWords = {"串口", " 串口", " UART", "UART 类型 ", "伪终端", "序列号 ", "内核控制台", "（", "，", "）"};

// A device as a person tells it from the others: its name without "/dev/".
std::string ShortPortName(const std::string& name) {
    const std::string devices = "/dev/";
    return name.size() > devices.size() && name.compare(0, devices.size(), devices) == 0 ? name.substr(devices.size())
                                                                                        : name;
}

}  // namespace

std::string PortItemText(const SerialPortInfo& port) {
    // What tells ports apart first, since a narrow closed field shows only
    // that; the whole path among the details, which the dropped list shows.
    const std::string shortName = ShortPortName(port.name);
    return shortName + " — " + DescribePort(port, kChinesePortWords, shortName != port.name ? port.name : "");
}

std::vector<ComboItemNames> PortComboItems(const std::vector<SerialPortInfo>& listed) {
    std::vector<ComboItemNames> items;
    for (const ComPortItem& port : kComPortItems) {
        // The kernel's console is marked; its plain name still names it.
        if (IsKernelConsole(port.name))
            items.push_back({std::string(port.text) + "（内核控制台）", port.name, port.text});
        else
            items.push_back({port.text, port.name});
    }
    for (const SerialPortInfo& port : listed) {
        items.push_back({PortItemText(port), port.name});
        if (ShortPortName(port.name) != port.name) items.back().push_back(ShortPortName(port.name));
    }
    return items;
}

void CTovrelDlg::FillPortList() {
    const std::string shown = m_cbPort.GetWindowText();
    m_listedPorts = ListSerialPorts();
    m_cbPort.ResetContent();
    for (const ComboItemNames& item : PortItems()) m_cbPort.AddString(item[0]);
    // An item's text names its port: the same port stays selected, wherever
    // it now stands. One that has gone, or text typed that names none, stays
    // shown with no item selected.
    for (int i = 0; i < m_cbPort.GetCount(); ++i) {
        if (m_cbPort.GetLBText(i) == shown) {
            m_cbPort.SetCurSel(i);
            return;
        }
    }
    m_cbPort.SetCurSel(-1);
    SetDlgItemText(m_cbPort.GetDlgCtrlID(), shown);
}

void CTovrelDlg::ReopenShownPortQuietly(bool wasOpen) {
    const int port = m_cbPort.GetCurSel();
    const int baud = m_cbBaudRate.GetCurSel();
    if (port < 0 || baud < 0) return;
    // A console nobody chose stays closed, as start-up left it.
    const bool consoleLeftAlone = !wasOpen && IsUnnamedKernelConsole(PortNameOf(port).c_str());
    if (SelectPortAndRate(port, kModuleBaudRates[baud], false) && !consoleLeftAlone) theSerialChannel.Open(8, 0, 0);
}

void CTovrelDlg::OnDropDownPort() { FillPortList(); }

void CTovrelDlg::OnSelChangePort() {
    const int port = m_cbPort.GetCurSel();
    const int baud = m_cbBaudRate.GetCurSel();
    if (port >= 0 && baud >= 0 && !MayMoveTo(port, kModuleBaudRates[baud])) return;
    OpenChannelFromCombos();
}

void CTovrelDlg::OnGetInfo() {
    if (!UpdateData(true)) return;
    const bool wasOpen = theSerialChannel.m_hComm != nullptr;
    DeviceInfo info{};
    if (DiskGetInfo(&info)) {
        ShowMessage("打开设备成功!");
        // A rate index the module should not have names no item: the combo
        // keeps what it shows.
        if (info.baudIndex < m_cbBaudRate.GetCount()) m_cbBaudRate.SetCurSel(info.baudIndex);
        ShowDeviceInfo(info, false);
        return;
    }
    // An answer with an error status: the module is here, and a search
    // would only move away from it.
    uint8_t status = 0;
    const TransferEnd failure = LastExchangeFailure(&status);
    if (failure == TransferEnd::kRefused) {
        ShowMessage("获取设备信息失败！" + FailureCause(failure, status) + "模块在" + ChannelText() +
                    "有应答，未查找其他串口。");
        return;
    }
    if (!MayLeaveOpenFile(FailureCause(failure, status) + "文件在" + ChannelText() +
                              "的模块上打开着。\n先在那里关闭文件，再查找其他串口和波特率吗？",
                          "关闭文件后查找", "不查找"))
        return;

    ShowMessage("轮询COM口和波特率!");
    // COM1, COM2, then the ports present now, as the combo lists them.
    FillPortList();
    std::vector<std::string> listed;
    for (const SerialPortInfo& port : m_listedPorts) listed.push_back(port.name);
    ModuleFound found;
    if (!SearchModule(listed, &found, &RepaintBetweenAttempts, nullptr)) {
        ShowMessage("设备没响应！请查设备是否连接，串口及波特率设置是否正确！");
        // Back on the port and rate the combos still show, not the last
        // attempt's: what is shown is what the next command uses.
        ReopenShownPortQuietly(wasOpen);
        return;
    }
    m_cbBaudRate.SetCurSel(found.baudIndex);
    m_cbPort.SetCurSel(found.portIndex);
    ShowMessage("打开设备成功!\n模块在" + ChannelText() + "。");
    ShowDeviceInfo(found.info, true);
}

void CTovrelDlg::ShowDeviceInfo(const DeviceInfo& info, bool foundBySearch) {
    m_nYear = info.year;
    m_nMonth = info.month;
    m_nDay = info.day;
    m_nHour = info.hour;
    m_nMinute = info.minute;
    m_nSecond = info.second;
    m_nFileSize = 0;
    m_strDiskStatus = info.diskPresent != 0 ? "有1个U盘在下行口。" : "请插入U盘！";
    // A direct answer without a disk leaves the file text as it was; after
    // a search it is always set from the handle.
    if (info.fileHandle == 0xFF) m_bCloseUnconfirmed = false;  // nothing is open there
    if (info.diskPresent != 0 || foundBySearch) {
        if (info.fileHandle == 0xFF) {
            m_strFileStatus = "请打开/创建文件！";
        } else {
            m_strFileStatus = "已打开1个文件！";
            m_nFileSize = info.fileSize;
        }
    }
    UpdateData(false);
}

void CTovrelDlg::OnSetParams() {
    if (!UpdateData(true)) return;
    DeviceSettings settings{};
    // Checked before the handler ran: the combo names an item.
    settings.baudIndex = static_cast<uint8_t>(ChosenBaudIndex());
    settings.year = m_nYear;
    settings.month = m_nMonth;
    settings.day = m_nDay;
    settings.hour = m_nHour;
    settings.minute = m_nMinute;
    settings.second = m_nSecond;
    // Sent at the rate the channel is open at; the module takes the new
    // one after its answer, and so does the channel.
    if (DiskSetParams(&settings)) {
        OpenChannelFromCombos();
        ShowMessage("设置成功!当前参数已更新。");
    } else {
        ShowMessage("设置失败!" + LastExchangeCause());
    }
}
