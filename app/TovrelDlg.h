// The main dialog: one window whose buttons each run one exchange with the
// module and report it in a message box.
//
// The members hold what the controls show; UpdateData moves them one way or
// the other (see DataExchange.h). Every handler runs on the GUI thread and
// blocks it until its exchanges end or time out; long transfers keep the
// window painted and show their progress. The serial channel and the
// open-file record are the program's globals (theSerialChannel,
// g_pCurrentFile); the dialog does not close either when it ends.
#ifndef TOVREL_APP_TOVRELDLG_H
#define TOVREL_APP_TOVRELDLG_H

#include <QDialog>
#include <QIcon>
#include <QString>

#include <cstdint>
#include <memory>

#include "protocol/DeviceCommands.h"
#include "protocol/DiskCommands.h"

class CDataExchange;
class QComboBox;
class SystemMenu;

// The panel's open file: the record DiskOpenFile gave, or null.
extern DiskFileHandle* g_pCurrentFile;

class CTovrelDlg : public QDialog {
public:
    explicit CTovrelDlg(QWidget* pParent = nullptr);
    ~CTovrelDlg() override;

    // Runs the initialisation and the modal loop; QDialog::Accepted after OK.
    int DoModal();
    // The initialisation alone, then shows the window without a loop of its
    // own (for tools and tests that drive it).
    void Create();

    bool UpdateData(bool bSaveAndValidate = true);
    void OpenChannelFromCombos();
    int ReopenChannel(int portNumber, int rate);
    QIcon OnQueryDragIcon() const { return m_hIcon; }
    void OnSysCommand(unsigned nID, intptr_t lParam);
    const SystemMenu& SystemMenuOfWindow() const { return *m_pSystemMenu; }

    QComboBox* m_cbSeekOrigin = nullptr;
    QComboBox* m_cbPort = nullptr;
    QComboBox* m_cbBaudRate = nullptr;
    QString m_strFileName;
    QString m_strNewDirName;
    uint8_t m_nHour = 0;
    uint8_t m_nMonth = 0;
    uint8_t m_nMinute = 0;
    int32_t m_nSeekOffset = 0;
    uint8_t m_nSecond = 0;
    uint8_t m_nYear = 0;
    QString m_strText;
    uint8_t m_nDay = 0;
    QString m_strFileStatus;
    QString m_strDiskStatus;
    uint32_t m_nFileSize = 0;
    uint32_t m_nReadCount = 0;
    QString m_strCurrentDir;
    QString m_strDelDirName;
    QString m_strDelFileName;
    QIcon m_hIcon;

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    virtual bool OnInitDialog();

    void accept() override;  // OK: only after a whole exchange from the controls
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    void BindMessageMap();
    void OnPaint(QPaintEvent* event);
    void ShowMessage(const QString& text);
    // The combos' indexes, kept within their lists: no selection (text
    // typed that names no item) becomes the first item, which the combo
    // then shows.
    int SelectedIndex(QComboBox* combo);
    int SelectedPortIndex();
    int SelectedBaudIndex();
    // Runs a handler inside an ExchangeScope; refused while one runs.
    void Dispatch(void (CTovrelDlg::*handler)());
    void SetInitialFocus();
    void OnHelp();

    // Connection panel.
    void OnSelChangePort();
    void OnGetInfo();
    void OnSetParams();
    void ShowDeviceInfo(const DeviceInfo& info, bool foundBySearch);

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
    // Encodes a name for the module; false (with a message) when code page
    // 936 cannot hold it.
    bool NameForModule(const QString& name, QByteArray* bytes);
    void RunNameCommand(const QString& name, uint8_t (*command)(const char*), const char* success,
                        const char* failure);

    std::unique_ptr<SystemMenu> m_pSystemMenu;
    bool m_bInitialised = false;
};

#endif
