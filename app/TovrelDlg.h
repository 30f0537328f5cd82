// The main dialog: one window whose buttons each run one exchange with the
// module and report it in a message box.
//
// The members hold what the controls show; UpdateData moves them one way or
// the other (see DataExchange.h). Every handler runs on the one thread and
// holds it until its exchanges end or time out; the dialog framework keeps
// the window painted meanwhile and lets no input reach it (see
// DialogFramework.h), and long transfers show their progress. The serial
// channel and the open-file record are the program's globals
// (theSerialChannel, g_pCurrentFile). Esc and the close box end the dialog,
// after asking whether to close a file still open on the module; Enter ends
// nothing. The dialog closes neither the channel nor a file by itself.
#ifndef TOVREL_APP_TOVRELDLG_H
#define TOVREL_APP_TOVRELDLG_H

#include <cstdint>
#include <string>
#include <vector>

#include "ComboBox.h"
#include "ComboChoice.h"
#include "DialogFramework.h"
#include "protocol/DeviceCommands.h"
#include "protocol/DiskCommands.h"
#include "serial/SerialPorts.h"

// The port combo's first two items: COM1 and COM2, as the list shows them
// and by the name the channel opens.
struct ComPortItem {
    const char* text;
    const char* name;
};
inline constexpr ComPortItem kComPortItems[] = {{"串口1", "COM1"}, {"串口2", "COM2"}};

// A listed port as the port combo shows it, its device's name first:
// "ttyUSB0 — FT232R USB UART（/dev/ttyUSB0，FTDI）".
std::string PortItemText(const SerialPortInfo& port);
// The port combo's items, each by its text and the other names typed text
// may give it: 串口1 and 串口2 ("COM1", "COM2"; marked when the kernel's
// console, the plain text still naming it), then the listed ports (their
// path, and the name without "/dev/").
std::vector<ComboItemNames> PortComboItems(const std::vector<SerialPortInfo>& listed);

// The panel's open file: the record DiskOpenFile gave, or null.
extern DiskFileHandle* g_pCurrentFile;

class CTovrelDlg : public CDialog {
public:
    explicit CTovrelDlg(CDialog* pParent = nullptr);
    ~CTovrelDlg() override;

    void OpenChannelFromCombos();
    int ReopenChannel(int portNumber, int rate);
    IconHandle OnQueryDragIcon() const override { return m_hIcon; }
    void OnSysCommand(unsigned nID, intptr_t lParam) override;

    CComboBox m_cbSeekOrigin;
    CComboBox m_cbPort;
    CComboBox m_cbBaudRate;
    std::string m_strFileName;
    std::string m_strNewDirName;
    uint8_t m_nHour = 0;
    uint8_t m_nMonth = 0;
    uint8_t m_nMinute = 0;
    int32_t m_nSeekOffset = 0;
    uint8_t m_nSecond = 0;
    uint8_t m_nYear = 0;
    std::string m_strText;
    uint8_t m_nDay = 0;
    // Until the module has said anything: what to do, claiming nothing.
    std::string m_strFileStatus = "请打开或创建1个文件。";
    std::string m_strDiskStatus = "点击\"获取\"设备信息";
    uint32_t m_nFileSize = 0;
    uint32_t m_nReadCount = 0;
    std::string m_strCurrentDir;
    std::string m_strDelDirName;
    std::string m_strDelFileName;
    IconHandle m_hIcon;
    // The ports the port combo lists after 串口1 and 串口2, in its order.
    std::vector<SerialPortInfo> m_listedPorts;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    bool OnInitDialog() override;
    bool OnCommand(int id, int notifyCode) override;
    void OnHelp() override;
    void OnPaint() override;
    // Enter: the window has no OK button, so it ends nothing; in a combo it
    // takes the item the typed text names, as choosing it does.
    void OnOK() override;
    // Esc and the close box: the end, unless a file may still be open on
    // the module and the user, asked, stays.
    void OnCancel() override;

private:
    void ShowMessage(const std::string& text) { MessageBox(text); }
    // The item a combo names: its selection, or the item that text typed
    // into it names (ComboChoice.h), which the combo then shows. -1 after a
    // message that says what is accepted: the caller sends nothing.
    int ChosenIndex(CComboBox& combo, const std::vector<ComboItemNames>& items, const char* what);
    int ChosenPortIndex();
    int ChosenBaudIndex();
    int ChosenSeekOrigin();
    std::vector<ComboItemNames> PortItems() const;
    // What the channel opens for an item of the port combo: "COM1",
    // "/dev/ttyUSB0".
    std::string PortNameOf(int index) const;
    // Closes the channel and selects a port item and a rate for the next
    // Open; false when either is refused (a message each when `report`).
    bool SelectPortAndRate(int portIndex, int rate, bool report);
    // The same, then opens it, with a message for each step that fails.
    void OpenChannelOn(int portIndex, int rate);
    // Before a command: the channel on the port the combo shows and, unless
    // keepRate (设置's request travels at the rate the channel has), at the
    // rate shown; reopened only when the user changed either. False when a
    // combo names nothing.
    bool UseShownPortAndRate(bool keepRate);
    // Before the channel leaves the module a file is open on (a handle
    // goes only to the module that gave it): true when no file is open, or
    // when the user, asked `question`, chose `leave` (the file has then been
    // closed there, or its failure told). False when they chose `stay`.
    bool MayLeaveOpenFile(const std::string& question, const char* leave, const char* stay);
    // The same for a move to a port item and rate: asks only when they are
    // not the channel's. False: the combos show the channel's again.
    bool MayMoveTo(int portIndex, int rate);
    // Whether a port item and rate are the channel's.
    bool IsChannel(int portIndex, int rate) const;
    // The port in use as the combo names it ("串口1"), and its rate.
    std::string ChannelText() const;
    void ShowChannelInCombos();

    // Connection panel.
    // The port combo: 串口1 and 串口2, then the other ports present,
    // listed afresh; the selection stays on the port it named. Read when
    // the list first drops down or a port is looked for, not at start-up.
    void FillPortList();
    void OnDropDownPort();
    void OnSelChangePort();
    void OnGetInfo();
    void OnSetParams();
    void ShowDeviceInfo(const DeviceInfo& info, bool foundBySearch);
    // After a search that found nothing: the channel back on the port and
    // rate shown, without messages; opened unless it was closed and is a
    // console of the kernel that nobody named.
    void ReopenShownPortQuietly(bool wasOpen);

    // File panel.
    void OnOpenCreate();
    void OnWriteFile();
    void OnSeek();
    void OnReadFile();
    void OnCloseFile();
    void OnMakeDir();
    void OnWriteText();
    void OnReadText();
    void OnSetCurrentDir();
    void OnDeleteFile();
    void OnDeleteDir();
    // Writes into the open file with the progress window, then says how it
    // went: `failure` when nothing was written.
    void WriteToOpenFile(const uint8_t* data, uint32_t length, const char* failure);
    // The size field from the module's status: what the open file holds now.
    void RefreshFileSize();
    // The close of 关闭文件, of leaving a file and of the end: true when
    // the module confirmed it (or, with no file open here, answered).
    // Otherwise the window says so and does not show the file as closed.
    bool CloseOpenFile();
    // The file status text and the size field, the other fields untouched.
    void ShowFileState(const std::string& status, uint32_t size);
    // Encodes a name for the module; false (with a message that names the
    // field, `what`) when it is empty or the module could not take it.
    bool NameForModule(const std::string& name, const char* what, std::string* bytes);
    struct NameCommandTexts {
        const char* success;
        std::string failed;   // then the cause: no answer, a garbled answer
        std::string refused;  // then the module's status
    };
    void RunNameCommand(const std::string& name, const char* what, uint8_t (*command)(const char*),
                        const NameCommandTexts& texts);

    // A close the module did not confirm: the file may still be open there.
    bool m_bCloseUnconfirmed = false;
};

#endif
