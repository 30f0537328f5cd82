// The real tovrel.exe, driven from outside (its combos with real X input)
// against the simulated module on wine's COM ports: what it shows, what reaches
// the module's disk (code page 936 for Chinese text) and the PC's files.
// The window's ids and templates first: windows.h would turn IDOK and the
// like into numbers before they are declared.
#include "app/Resources.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "WindowDriver.h"
#include "WineSetup.h"
#include "protocol/DeviceCommands.h"
#include "protocol/DiskCommands.h"
#include "protocol/ModuleSearch.h"
#include "serial/SerialChannel.h"

namespace {

using Strings = std::vector<std::string>;

const char kWriteOk[] = "成功写入文件!必需先关闭文件才可以拔U盘，否则数据可能丢失！";
const char kNotWhole[] = "数据未被完全写入！";
const char kFound[] = "打开设备成功!";
const char kSearching[] = "轮询COM口和波特率!";

std::string FoundAt(const std::string& port, int rate) {
    return std::string(kFound) + "\n模块在" + port + "（" + std::to_string(rate) + "）。";
}

std::wstring Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? Widen(value) : std::wstring();
}

std::wstring DiskPath(const std::wstring& name) { return Env("TOVREL_WINE_DISK") + L"\\" + name; }

bool ReadFileBytes(const std::wstring& path, Bytes* out) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

Bytes FileBytes(const std::wstring& path) {
    Bytes bytes;
    if (!ReadFileBytes(path, &bytes)) return Bytes{'<', 'n', 'o', 'n', 'e', '>'};
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const Bytes& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes AsBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The module with the disk, reached on COM3 (the same peer as the window's
// COM1 in the "window" layout), put back into a known state: 9600 bit/s,
// no file open, the root directory current, the clock at 2023-06-15
// 08:30:00.
bool ResetDiskModule() {
    bool answered = false;
    for (int rate : {9600, 19200, 4800, 38400, 57600, 115200}) {
        DeviceInfo info{};
        if (ReopenSerialChannel(kDiskPort, rate) && DiskGetInfo(&info)) {
            answered = true;
            break;
        }
    }
    if (!answered) return false;
    DiskProtocolReset();
    DiskCloseFile();
    DiskSetCurrentDir("/");
    const DeviceSettings settings{1, 23, 6, 15, 8, 30, 0};
    const bool set = DiskSetParams(&settings);
    theSerialChannel.Close(true);
    DiskProtocolReset();
    return set;
}

// A text's size in the main dialog's font.
SIZE TextExtent(const std::wstring& text) {
    const DialogTemplate& dialog = MainDialogTemplate();
    const HDC dc = GetDC(nullptr);
    const HFONT font = CreateFontW(-MulDiv(dialog.fontPoints, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL,
                                   FALSE, FALSE, FALSE, GB2312_CHARSET, 0, 0, 0, 0, Widen(dialog.fontFace).c_str());
    const HGDIOBJ old = SelectObject(dc, font);
    SIZE extent{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(nullptr, dc);
    return extent;
}

// The dialog shows an edit's WS_BORDER as the sunken 3-D edge.
bool Bordered(HWND edit) {
    return (GetWindowLongW(edit, GWL_STYLE) & WS_BORDER) != 0 ||
           (GetWindowLongW(edit, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Env("TOVREL_WINE_DISK").empty()) << "run under tests/wine/run-under-wine.sh";
        ASSERT_FALSE(Env("TOVREL_WINDOW_EXE").empty()) << "run under tests/wine/run-under-wine.sh";
        ASSERT_TRUE(ResetDiskModule());
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        m_pcFolder = std::wstring(temp) + L"tovrel-window-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                     std::to_wstring(++s_folders);
        CreateDirectoryW(m_pcFolder.c_str(), nullptr);
        // The window lists the ports present after COM1 and COM2: here
        // wine's COM3 and on, the tests' peers. None unless a test names
        // them (an empty value would unset the variable).
        _putenv("TOVREL_PORTS=;");
    }
    void TearDown() override {
        m_window.Stop();
        UsePortLayout("default");
        _putenv("TOVREL_PORTS=");
    }

    void Open(const char* layout = "window") {
        ASSERT_TRUE(UsePortLayout(layout));
        Strings boxes;
        ASSERT_TRUE(m_window.Start(Env("TOVREL_WINDOW_EXE"), m_pcFolder, &boxes));
        ASSERT_EQ(boxes, Strings{});
    }

    std::wstring PcPath(const std::wstring& name) const { return m_pcFolder + L"\\" + name; }

    std::string Shown(int id) const { return m_window.Text(id); }
    // Each control shows its text.
    void ExpectShown(std::initializer_list<std::pair<int, const char*>> expected) const {
        for (const auto& [id, text] : expected) EXPECT_EQ(Shown(id), text) << "control " << id;
    }

    WindowDriver m_window;
    std::wstring m_pcFolder;
    static inline int s_folders = 0;
};

TEST_F(WindowTest, StartsWithTheDefaultsEveryLabelAndTheTemplatesStyles) {
    Open();
    EXPECT_EQ(Narrow(WindowTextOf(m_window.Dialog())), "Tovrel Haverlund");
    EXPECT_NE(GetWindowLongW(m_window.Dialog(), GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);  // on the task bar

    // Every control of template 102, in template order (the dialog makes
    // them in that order), with its class, style and text.
    const DialogTemplate& dialog = MainDialogTemplate();
    HWND child = GetWindow(m_window.Dialog(), GW_CHILD);
    for (size_t i = 0; i < dialog.controlCount; ++i, child = GetWindow(child, GW_HWNDNEXT)) {
        const ControlTemplate& control = dialog.controls[i];
        SCOPED_TRACE(control.text);
        ASSERT_NE(child, nullptr);
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        if (control.id != kNoId) {
            EXPECT_EQ(GetDlgCtrlID(child), control.id);
        }
        EXPECT_EQ((style & WS_TABSTOP) != 0, TakesFocus(control.kind));
        switch (control.kind) {
            case ControlKind::kGroupBox:
                EXPECT_EQ(ClassOf(child), L"Button");
                EXPECT_EQ(style & BS_TYPEMASK, BS_GROUPBOX);
                EXPECT_EQ(Narrow(WindowTextOf(child)), control.text);
                break;
            case ControlKind::kLabel:
                EXPECT_EQ(ClassOf(child), L"Static");
                EXPECT_NE(style & SS_NOPREFIX, 0);
                EXPECT_EQ(Narrow(WindowTextOf(child)), control.text);
                break;
            case ControlKind::kStatus:
                EXPECT_EQ(ClassOf(child), L"Static");
                // The members were written in: captions that claim nothing yet.
                EXPECT_EQ(Narrow(WindowTextOf(child)),
                          control.id == IDC_DISK_STATUS ? "点击\"获取\"设备信息" : "请打开或创建1个文件。");
                break;
            case ControlKind::kEdit:
                EXPECT_EQ(ClassOf(child), L"Edit");
                EXPECT_EQ(style & ES_MULTILINE, 0);
                EXPECT_NE(style & ES_AUTOHSCROLL, 0);
                EXPECT_TRUE(Bordered(child));
                break;
            case ControlKind::kMultiLineEdit:
                EXPECT_EQ(ClassOf(child), L"Edit");
                EXPECT_NE(style & ES_MULTILINE, 0);
                EXPECT_NE(style & WS_VSCROLL, 0);
                EXPECT_TRUE(Bordered(child));
                EXPECT_NE(style & ES_AUTOVSCROLL, 0);
                EXPECT_NE(style & ES_WANTRETURN, 0);  // Enter breaks the line
                break;
            case ControlKind::kButton:
            case ControlKind::kDefaultButton:
                EXPECT_EQ(ClassOf(child), L"Button");
                EXPECT_EQ(style & BS_TYPEMASK, BS_PUSHBUTTON);
                EXPECT_EQ(Narrow(WindowTextOf(child)), control.text);
                break;
            case ControlKind::kDropDownCombo:
                EXPECT_EQ(ClassOf(child), L"ComboBox");
                EXPECT_EQ(style & 3, CBS_DROPDOWN);
                EXPECT_EQ(style & CBS_SORT, 0);  // the list keeps the handlers' order
                break;
            case ControlKind::kIcon:
                break;
        }
    }
    EXPECT_EQ(child, nullptr) << "more controls than the template has";

    ExpectShown({{IDC_PORT, "串口1"}, {IDC_BAUD_RATE, "9600"}, {IDC_SEEK_ORIGIN, "从始端移"}});
    ExpectShown({{IDC_YEAR, "05"}, {IDC_MONTH, "8"}, {IDC_DAY, "25"}, {IDC_HOUR, "11"}, {IDC_MINUTE, "12"},
                 {IDC_SECOND, "0"}, {IDC_FILE_NAME, "Norvatil.TXT"}, {IDC_NEW_DIR_NAME, "USB_HOST"},
                 {IDC_FILE_SIZE, "0"}, {IDC_READ_COUNT, "0"}, {IDC_SEEK_OFFSET, "0"}, {IDC_TEXT, ""},
                 {IDC_CURRENT_DIR, ""}});
    auto items = [this](int id) {
        Strings out;
        const int count = static_cast<int>(SendMessageW(m_window.Item(id), CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            wchar_t text[64] = {};
            SendMessageW(m_window.Item(id), CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
            out.push_back(Narrow(text));
        }
        return out;
    };
    EXPECT_EQ(items(IDC_PORT), (Strings{"串口1", "串口2"}));
    EXPECT_EQ(items(IDC_BAUD_RATE), (Strings{"4800", "9600", "14400", "19200", "38400", "56000", "57600", "115200"}));
    EXPECT_EQ(items(IDC_SEEK_ORIGIN), (Strings{"从始端移", "从当前移", "从末端移"}));

    // The focus on the first tab stop, its text selected.
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(m_window.Dialog(), nullptr), &thread));
    EXPECT_EQ(thread.hwndFocus, m_window.Item(IDC_FILE_NAME));
    const LRESULT selection = SendMessageW(m_window.Item(IDC_FILE_NAME), EM_GETSEL, 0, 0);
    EXPECT_EQ(LOWORD(selection), 0);
    EXPECT_EQ(HIWORD(selection), std::string("Norvatil.TXT").size());

}

TEST_F(WindowTest, GetInfoWithADirectAnswer) {
    Open();
    EXPECT_EQ(m_window.Click(IDC_GET_INFO), Strings{kFound});
    ExpectShown({{IDC_YEAR, "23"}, {IDC_MONTH, "6"}, {IDC_DAY, "15"}, {IDC_HOUR, "8"},
                 {IDC_DISK_STATUS, "有1个U盘在下行口。"}, {IDC_FILE_STATUS, "请打开/创建文件！"}, {IDC_FILE_SIZE, "0"},
                 {IDC_PORT, "串口1"}, {IDC_BAUD_RATE, "9600"}});
    EXPECT_EQ(Shown(IDC_MINUTE).substr(0, 1), "3");  // 30, or 31 on a slow run
}

TEST_F(WindowTest, GetInfoSearchesAndFindsTheModuleOnCom2) {
    Open("default");  // COM1 silent, the module on COM2 at 19200
    EXPECT_EQ(m_window.Click(IDC_GET_INFO), (Strings{kSearching, FoundAt("串口2", 19200)}));
    EXPECT_EQ(Shown(IDC_PORT), "串口2");
    EXPECT_EQ(Shown(IDC_BAUD_RATE), "19200");
    EXPECT_EQ(Shown(IDC_FILE_STATUS), "请打开/创建文件！");
    // The channel stays where the module answered.
    EXPECT_EQ(m_window.Click(IDC_GET_INFO), Strings{kFound});
}

TEST_F(WindowTest, GetInfoSearchesAndFindsNothing) {
    Open("nothing");  // COM1 silent, COM2 gone
    EXPECT_EQ(m_window.Click(IDC_GET_INFO),
              (Strings{kSearching, "设备没响应！请查设备是否连接，串口及波特率设置是否正确！"}));
    EXPECT_EQ(Shown(IDC_PORT), "串口1");
    EXPECT_EQ(Shown(IDC_BAUD_RATE), "9600");
    EXPECT_EQ(Shown(IDC_YEAR), "05");
    EXPECT_EQ(Shown(IDC_DISK_STATUS), "点击\"获取\"设备信息");
}

TEST_F(WindowTest, APortPresentIsListedAfterCom1AndCom2AndTheSearchFindsTheModuleThere) {
    _putenv("TOVREL_PORTS=COM3");  // the module with the disk, at 9600
    Open("nothing");               // COM1 silent, COM2 gone
    const HWND port = m_window.Item(IDC_PORT);
    // Read when a search needs it, not at start-up.
    EXPECT_EQ(SendMessageW(port, CB_GETCOUNT, 0, 0), 2);
    const Strings boxes = m_window.Click(IDC_GET_INFO);
    ASSERT_EQ(SendMessageW(port, CB_GETCOUNT, 0, 0), 3);
    wchar_t text[128] = {};
    SendMessageW(port, CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(boxes, (Strings{kSearching, FoundAt(Narrow(text), 9600)}));
    EXPECT_EQ(Narrow(text).rfind("COM3", 0), 0u) << Narrow(text);
    EXPECT_EQ(Shown(IDC_PORT), Narrow(text));
    EXPECT_EQ(Shown(IDC_BAUD_RATE), "9600");
    EXPECT_EQ(Shown(IDC_DISK_STATUS), "有1个U盘在下行口。");
    // The channel stays where the module answered.
    EXPECT_EQ(m_window.Click(IDC_GET_INFO), Strings{kFound});
}

TEST_F(WindowTest, SetMovesTheModuleToAnotherRateAndGetInfoAnswersThere) {
    Open();
    const std::pair<int, const char*> clock[] = {{IDC_YEAR, "24"}, {IDC_MONTH, "2"},   {IDC_DAY, "28"},
                                                 {IDC_HOUR, "10"}, {IDC_MINUTE, "20"}, {IDC_SECOND, "30"}};
    for (const auto& [id, text] : clock) m_window.SetText(id, text);
    EXPECT_EQ(m_window.Choose(IDC_BAUD_RATE, 3), Strings{});
    EXPECT_EQ(m_window.Click(IDC_SET_PARAMS), Strings{"设置成功!当前参数已更新。"});
    EXPECT_EQ(m_window.Click(IDC_GET_INFO), Strings{kFound});
    ExpectShown({{IDC_BAUD_RATE, "19200"}, {IDC_YEAR, "24"}, {IDC_MONTH, "2"}, {IDC_DAY, "28"}, {IDC_HOUR, "10"},
                 {IDC_MINUTE, "20"}});
    EXPECT_GE(std::stoi(Shown(IDC_SECOND)), 30);
}

TEST_F(WindowTest, ReadOf2000BytesFromA966ByteFileShowsAll966) {
    Open();
    WriteFileBytes(DiskPath(L"R.TXT"), Bytes(966, 'r'));
    EXPECT_EQ(m_window.TypeInto(IDC_FILE_NAME, "R.TXT"), Strings{});
    EXPECT_EQ(m_window.ClickByMouse(IDC_OPEN_CREATE, {}, [this] { return Shown(IDC_FILE_SIZE) == "966"; }), Strings{});
    EXPECT_EQ(m_window.TypeInto(IDC_READ_COUNT, "2000"), Strings{});
    EXPECT_EQ(m_window.ClickByMouse(IDC_READ_TEXT), Strings{"数据已读出。已到文件末尾，共读出 966 字节。"});
    EXPECT_EQ(Shown(IDC_TEXT), std::string(966, 'r'));
    EXPECT_EQ(m_window.Click(IDC_CLOSE_FILE), Strings{});
}

TEST_F(WindowTest, EnterInTheTextBoxOrAFieldEndsNothing) {
    Open();
    EXPECT_EQ(m_window.TypeInto(IDC_TEXT, "ab"), Strings{});
    EXPECT_EQ(m_window.PressKeys("Return c d", {}, [this] { return Shown(IDC_TEXT) == "ab\r\ncd"; }), Strings{});
    EXPECT_EQ(m_window.TypeInto(IDC_SEEK_OFFSET, "0"), Strings{});
    EXPECT_EQ(m_window.PressKeys("Return", {}, [] { return true; }), Strings{});
    // In the port's field it takes the port typed.
    EXPECT_EQ(m_window.TypeInto(IDC_PORT, "com2"), Strings{});
    EXPECT_EQ(m_window.PressKeys("Return", {}, [this] { return Shown(IDC_PORT) == "串口2"; }), Strings{});
    EXPECT_TRUE(m_window.Running());
    EXPECT_EQ(m_window.Selected(IDC_PORT), 1);
}

TEST_F(WindowTest, ReadFileOverAnExistingPcFileAsksFirst) {
    Open();
    WriteFileBytes(DiskPath(L"PC.TXT"), AsBytes("from the disk"));
    WriteFileBytes(PcPath(L"PC.TXT"), AsBytes("the PC's own"));
    m_window.SetText(IDC_FILE_NAME, "PC.TXT");
    EXPECT_EQ(m_window.Click(IDC_OPEN_CREATE), Strings{});
    const std::string question = "电脑上已有 " + Narrow(PcPath(L"PC.TXT")) + "。\n用U盘上的文件替换它吗？";
    WindowDriver::Answers answers;
    answers.choices = {"取消"};
    EXPECT_EQ(m_window.ClickByMouse(IDC_READ_FILE, answers), Strings{question});
    EXPECT_EQ(FileBytes(PcPath(L"PC.TXT")), AsBytes("the PC's own"));
    answers.choices = {"替换"};
    EXPECT_EQ(m_window.ClickByMouse(IDC_READ_FILE, answers),
              (Strings{question, "文件读取完成！并保存在根目录\n" + Narrow(PcPath(L"PC.TXT"))}));
    EXPECT_EQ(FileBytes(PcPath(L"PC.TXT")), AsBytes("from the disk"));
    EXPECT_EQ(m_window.Click(IDC_CLOSE_FILE), Strings{});
}

TEST_F(WindowTest, AnUnansweredCloseIsToldAndTheEndAsksFirst) {
    Open();
    m_window.SetText(IDC_FILE_NAME, "OPEN.TXT");
    EXPECT_EQ(m_window.Click(IDC_OPEN_CREATE), Strings{});
    // COM1 relinked to a silent line: 设置 still reaches the module, and
    // its reopening of the port finds the silent one.
    ASSERT_TRUE(UsePortLayout("nothing"));
    EXPECT_EQ(m_window.Click(IDC_SET_PARAMS), Strings{"设置成功!当前参数已更新。"});
    EXPECT_EQ(m_window.ClickByMouse(IDC_CLOSE_FILE),
              Strings{"关闭文件失败！模块没有应答。文件可能仍在U盘上打开，请勿拔盘；可再按“关闭文件”。"});
    EXPECT_EQ(Shown(IDC_FILE_STATUS), "模块未确认关闭文件！");
    const char question[] = "模块未确认关闭文件，文件可能还开着。退出前再关闭一次吗？";
    WindowDriver::Answers answers;
    answers.choices = {"取消"};
    EXPECT_EQ(m_window.PressKeys("Escape", answers), Strings{question});
    EXPECT_TRUE(m_window.Running());
    answers.choices = {"保持打开"};
    EXPECT_EQ(m_window.PressKeys("Escape", answers), (Strings{question, "<ended>"}));
    EXPECT_FALSE(m_window.Running());
}

TEST_F(WindowTest, OpenWriteTextSeekReadItBackAndClose) {
    Open();
    m_window.SetText(IDC_FILE_NAME, "文本.TXT");
    EXPECT_EQ(m_window.Click(IDC_OPEN_CREATE), Strings{});
    EXPECT_EQ(Shown(IDC_FILE_STATUS), "文件已打开，大小为：");
    EXPECT_EQ(Shown(IDC_FILE_SIZE), "0");

    const std::string text = "你好，Tovrel！\r\n第二行 ASCII 123";
    m_window.SetText(IDC_TEXT, text);
    EXPECT_EQ(m_window.Click(IDC_WRITE_TEXT), Strings{kWriteOk});
    // Code page 936 on the module's disk, the line break as CR LF.
    const Bytes cp936 = AsBytes(
        "\xC4\xE3\xBA\xC3\xA3\xAC"
        "Tovrel\xA3\xA1\r\n\xB5\xDA\xB6\xFE\xD0\xD0 ASCII 123");
    EXPECT_EQ(FileBytes(DiskPath(L"文本.TXT")), cp936);

    m_window.SetText(IDC_TEXT, "");
    m_window.SetText(IDC_SEEK_OFFSET, "0");
    EXPECT_EQ(m_window.Click(IDC_SEEK), Strings{});
    m_window.SetText(IDC_READ_COUNT, std::to_string(cp936.size()));
    EXPECT_EQ(m_window.Click(IDC_READ_TEXT), Strings{"数据已读出。"});
    EXPECT_EQ(Shown(IDC_TEXT), text);

    // From the end, back 3: "123".
    EXPECT_EQ(m_window.ChooseByKeys(IDC_SEEK_ORIGIN, "Down Down", 2), Strings{});
    m_window.SetText(IDC_SEEK_OFFSET, "-3");
    EXPECT_EQ(m_window.Click(IDC_SEEK), Strings{});
    m_window.SetText(IDC_READ_COUNT, "10");
    EXPECT_EQ(m_window.Click(IDC_READ_TEXT), Strings{"数据已读出。已到文件末尾，共读出 3 字节。"});
    EXPECT_EQ(Shown(IDC_TEXT), "123");

    EXPECT_EQ(m_window.Click(IDC_CLOSE_FILE), Strings{});
    EXPECT_EQ(Shown(IDC_FILE_STATUS), "请打开或创建1个文件。");
    EXPECT_EQ(Shown(IDC_FILE_SIZE), "0");
    EXPECT_EQ(m_window.Click(IDC_WRITE_TEXT), Strings{"请先打开或创建1个文件！"});
    EXPECT_EQ(m_window.Click(IDC_READ_TEXT), Strings{"请先打开或创建1个文件。"});
    EXPECT_EQ(m_window.Click(IDC_WRITE_FILE), Strings{"请先打开或创建1个文件!"});
    EXPECT_EQ(m_window.Click(IDC_READ_FILE), Strings{"请选打开或创建1个文件!"});
}

TEST_F(WindowTest, WriteFileAndReadFileThroughTheFileDialog) {
    Open();
    const Bytes data = Pattern(3000);
    WriteFileBytes(PcPath(L"数据.bin"), data);
    m_window.SetText(IDC_FILE_NAME, "PC.BIN");
    EXPECT_EQ(m_window.Click(IDC_OPEN_CREATE), Strings{});
    // Cancelled: nothing written, nothing said.
    EXPECT_EQ(m_window.Click(IDC_WRITE_FILE), Strings{});
    WindowDriver::Answers answers;
    answers.files = {PcPath(L"数据.bin")};
    EXPECT_EQ(m_window.Click(IDC_WRITE_FILE, answers), Strings{kWriteOk});
    EXPECT_EQ(FileBytes(DiskPath(L"PC.BIN")), data);

    EXPECT_EQ(m_window.Click(IDC_CLOSE_FILE), Strings{});
    EXPECT_EQ(m_window.Click(IDC_OPEN_CREATE), Strings{});
    EXPECT_EQ(Shown(IDC_FILE_SIZE), "3000");
    EXPECT_EQ(m_window.Click(IDC_READ_FILE), Strings{"文件读取完成！并保存在根目录\n" + Narrow(PcPath(L"PC.BIN"))});
    // Saved in the folder the program was started in, which the file
    // dialog did not move.
    EXPECT_EQ(FileBytes(PcPath(L"PC.BIN")), data);
    EXPECT_EQ(m_window.Click(IDC_CLOSE_FILE), Strings{});
}

TEST_F(WindowTest, TheFourNameButtonsSucceedAndFail) {
    Open();
    m_window.SetText(IDC_NEW_DIR_NAME, "新目录");
    EXPECT_EQ(m_window.Click(IDC_MAKE_DIR), Strings{"创建目录成功!"});
    EXPECT_NE(GetFileAttributesW(DiskPath(L"新目录").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    // A refusal carries the module's status (the simulator's: 2 exists, 1
    // not found).
    EXPECT_EQ(m_window.Click(IDC_MAKE_DIR), Strings{"创建目录失败!可能目录已存在。模块拒绝了请求（状态 2）。"});

    // Typed by the user just after a box the handler showed: no key is lost.
    EXPECT_EQ(m_window.TypeInto(IDC_CURRENT_DIR, "NOPE"), Strings{});
    EXPECT_EQ(m_window.Click(IDC_SET_CURRENT_DIR), Strings{"设置当前目录失败！模块拒绝了请求（状态 1）。"});
    m_window.SetText(IDC_CURRENT_DIR, "新目录");
    EXPECT_EQ(m_window.Click(IDC_SET_CURRENT_DIR), Strings{"正常设置当前目录."});

    WriteFileBytes(DiskPath(L"新目录\\删我.TXT"), AsBytes("x"));
    CreateDirectoryW(DiskPath(L"新目录\\子目录").c_str(), nullptr);
    m_window.SetText(IDC_DEL_FILE_NAME, "删我.TXT");
    EXPECT_EQ(m_window.Click(IDC_DELETE_FILE), Strings{"正常删除文件."});
    EXPECT_EQ(GetFileAttributesW(DiskPath(L"新目录\\删我.TXT").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(m_window.Click(IDC_DELETE_FILE), Strings{"删除文件失败！模块拒绝了请求（状态 1）。"});
    m_window.SetText(IDC_DEL_DIR_NAME, "子目录");
    EXPECT_EQ(m_window.Click(IDC_DELETE_DIR), Strings{"正常删除目录."});
    EXPECT_EQ(GetFileAttributesW(DiskPath(L"新目录\\子目录").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(m_window.Click(IDC_DELETE_DIR), Strings{"删除目录失败！模块拒绝了请求（状态 1）。"});
    RemoveDirectoryW(DiskPath(L"新目录").c_str());
}

TEST_F(WindowTest, TypingStopsAtTheLimitInCodePage936Bytes) {
    Open();
    m_window.SetText(IDC_FILE_NAME, "");
    EXPECT_EQ(m_window.Type(IDC_FILE_NAME, std::wstring(120, L'a')), Strings{});
    EXPECT_EQ(Shown(IDC_FILE_NAME), std::string(100, 'a'));
    // A Chinese character counts two.
    m_window.SetText(IDC_NEW_DIR_NAME, "");
    EXPECT_EQ(m_window.Type(IDC_NEW_DIR_NAME, std::wstring(60, L'文')), Strings{});
    std::string fifty;
    for (int i = 0; i < 50; ++i) fifty += "文";
    EXPECT_EQ(Shown(IDC_NEW_DIR_NAME), fifty);
    m_window.SetText(IDC_NEW_DIR_NAME, "");
    EXPECT_EQ(m_window.Type(IDC_NEW_DIR_NAME, std::wstring(99, L'a') + L"文a"), Strings{});
    EXPECT_EQ(Shown(IDC_NEW_DIR_NAME), std::string(99, 'a') + "a");
    // The fields without a limit take more.
    m_window.SetText(IDC_CURRENT_DIR, "");
    EXPECT_EQ(m_window.Type(IDC_CURRENT_DIR, std::wstring(120, L'b')), Strings{});
    EXPECT_EQ(Shown(IDC_CURRENT_DIR), std::string(120, 'b'));
}

// Layout "two": a module at 9600 on COM1 and one at 115200 on COM2, each
// tracing the frames it gets. Which of them took the requests since Mark.
class TwoModulesTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        Open("two");
        Mark();
    }
    static std::string Trace(int port) {
        std::ifstream in(std::filesystem::path(Env("TOVREL_WINE_PORTS") + L"\\trace" + std::to_wstring(port)));
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void Mark() {
        for (int port : {1, 2}) m_marks[port - 1] = Trace(port).size();
    }
    // "COM1", "COM2" for the ports whose module got a request since Mark,
    // "" for none.
    std::string Requested() {
        std::string ports;
        for (int port : {1, 2})
            if (Trace(port).find("> ", m_marks[port - 1]) != std::string::npos) ports += "COM" + std::to_string(port);
        Mark();
        return ports;
    }
    size_t m_marks[2] = {};
};

TEST_F(TwoModulesTest, ThePortAndRateChosenByMouseOrKeysTakeTheNextRequest) {
    enum How { kMouse, kKeys };
    const struct {
        How how;
        int combo;
        const char* keys;
        int index;
        const char* requested;  // by 获取 after this choice, when set
    } steps[] = {
        {kMouse, IDC_BAUD_RATE, "", 7, nullptr},
        {kMouse, IDC_PORT, "", 1, "COM2"},
        {kKeys, IDC_PORT, "Up", 0, nullptr},  // the list closed
        {kKeys, IDC_BAUD_RATE, "alt+Down Up Up Up Up Up Up Return", 1, "COM1"},
        {kKeys, IDC_PORT, "alt+Down Down Return", 1, nullptr},
        {kKeys, IDC_BAUD_RATE, "Down Down Down Down Down Down", 7, "COM2"},
        {kMouse, IDC_PORT, "", 0, nullptr},
        {kMouse, IDC_BAUD_RATE, "", 1, "COM1"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.combo == IDC_PORT ? "port " : "rate ") + std::to_string(step.index) + " by " +
                     (step.how == kMouse ? "mouse" : step.keys));
        EXPECT_EQ(step.how == kMouse ? m_window.Choose(step.combo, step.index)
                                     : m_window.ChooseByKeys(step.combo, step.keys, step.index),
                  Strings{});
        if (step.requested == nullptr) continue;
        EXPECT_EQ(m_window.Click(IDC_GET_INFO), Strings{kFound});
        EXPECT_EQ(Requested(), step.requested);
    }
}

TEST_F(TwoModulesTest, ARateTypedThatIsNoItemIsRefusedAndNothingIsSent) {
    EXPECT_EQ(m_window.TypeInto(IDC_BAUD_RATE, "12345"), Strings{});
    const Strings boxes = m_window.Click(IDC_GET_INFO);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("4800"), std::string::npos) << boxes[0];
    EXPECT_EQ(Requested(), "");
}

TEST_F(TwoModulesTest, ARefusedFieldOrAnEmptyNameStopsItsButtonAndNothingIsSent) {
    const struct {
        int field;
        const char* typed;
        int button;
        const char* box;
    } kCases[] = {
        {IDC_MONTH, "13", IDC_SET_PARAMS, "请输入一个介于 1 和 12 之间的整数。"},
        {IDC_HOUR, "99", IDC_DELETE_FILE, "请输入一个介于 0 和 23 之间的整数。"},
        {IDC_SEEK_OFFSET, "12x", IDC_SEEK, "请输入一个整数。"},
        {IDC_FILE_NAME, "", IDC_OPEN_CREATE, "请先输入文件名。"},
        {IDC_DEL_FILE_NAME, "", IDC_DELETE_FILE, "请先输入要删除的文件名。"},
        {IDC_NEW_DIR_NAME, "", IDC_MAKE_DIR, "请先输入目录名。"},
        {IDC_CURRENT_DIR, "", IDC_SET_CURRENT_DIR, "请先输入当前目录。"},
        {IDC_DEL_DIR_NAME, "", IDC_DELETE_DIR, "请先输入要删除的目录名。"},
    };
    m_window.SetText(IDC_DEL_FILE_NAME, "KEEP.TXT");
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.box);
        const std::string before = Shown(c.field);
        EXPECT_EQ(m_window.TypeInto(c.field, c.typed), Strings{});
        EXPECT_EQ(m_window.ClickByMouse(c.button), Strings{c.box});
        if (*c.typed != '\0') {
            EXPECT_EQ(m_window.Focus(), m_window.Item(c.field));  // the refused field
        }
        m_window.SetText(c.field, before);
    }
    EXPECT_EQ(Requested(), "");
}

TEST_F(TwoModulesTest, AnotherPortWithAFileOpenAsksAndTheHandleStaysWithItsModule) {
    EXPECT_EQ(m_window.Click(IDC_OPEN_CREATE), Strings{});  // on COM1's module
    EXPECT_EQ(Requested(), "COM1");
    const std::string question = "文件在串口1（9600）的模块上打开着。\n先在那里关闭文件，再换到串口2（9600）吗？";
    WindowDriver::Answers keep;
    keep.choices = {"不切换"};
    EXPECT_EQ(m_window.Choose(IDC_PORT, 1, keep), Strings{question});
    ExpectShown({{IDC_PORT, "串口1"}});
    m_window.SetText(IDC_TEXT, "x");
    EXPECT_EQ(m_window.Click(IDC_WRITE_TEXT), Strings{kWriteOk});
    EXPECT_EQ(Requested(), "COM1");
    WindowDriver::Answers leave;
    leave.choices = {"关闭文件后切换"};
    EXPECT_EQ(m_window.Choose(IDC_PORT, 1, leave), Strings{question});
    EXPECT_EQ(Requested(), "COM1");  // the close, where the file was
    ExpectShown({{IDC_PORT, "串口2"}, {IDC_FILE_STATUS, "请打开或创建1个文件。"}});
}

TEST_F(TwoModulesTest, TheWheelOverAComboWithoutTheFocusChangesNothing) {
    // The focus on the file name, then in the rate's field; the wheel
    // each time over both combos, and then Down in the rate's field: what
    // came before has been taken once that shows.
    const std::string wheel = "click 5\nclick 5\nclick 4\nclick 5\n";
    const std::string overPort = PointerTo(m_window.Item(IDC_PORT), 6, 6) + wheel;
    const std::string overRate = PointerTo(m_window.Item(IDC_BAUD_RATE), 6, 6);
    ASSERT_TRUE(SendXInput(overPort + overRate + wheel + "click 1\n" + overPort + "key Down"));
    ASSERT_TRUE(m_window.WaitFor([this] { return m_window.Selected(IDC_BAUD_RATE) == 2; }, 5000));
    EXPECT_EQ(m_window.Settle(), Strings{});
    EXPECT_EQ(m_window.Selected(IDC_PORT), 0);
    ExpectShown({{IDC_PORT, "串口1"}, {IDC_BAUD_RATE, "14400"}});
    EXPECT_EQ(Requested(), "");
}

// The wheel over the focused combo moves its choice, as in the Qt window;
// with the pointer elsewhere it does nothing. Down in the rate's field at
// the end: what came before has been taken once that shows. A combo the
// focus has left shows no highlight.
TEST_F(TwoModulesTest, TheWheelTurnsTheFocusedComboUnderThePointer) {
    const HWND rate = m_window.Item(IDC_BAUD_RATE);
    const std::string overRate = PointerTo(rate, 6, 6);
    const std::string overPort = PointerTo(m_window.Item(IDC_PORT), 6, 6);
    // 9600 focused: down a notch, up one, two over the port, down one, Down.
    ASSERT_TRUE(SendXInput(overRate + "click 1\nclick 5\nclick 4\n" + overPort + "click 5\nclick 5\n" + overRate +
                           "click 5\nkey Down"));
    EXPECT_TRUE(m_window.WaitFor([this] { return m_window.Selected(IDC_BAUD_RATE) == 3; }, 5000));
    EXPECT_EQ(m_window.Settle(), Strings{});
    ExpectShown({{IDC_PORT, "串口1"}, {IDC_BAUD_RATE, "19200"}});
    // The focus to the file name: the rate's text no longer highlighted.
    ASSERT_TRUE(SendXInput(PointerTo(m_window.Item(IDC_FILE_NAME), 6, 6) + "click 1"));
    ASSERT_TRUE(m_window.WaitFor([this] { return m_window.Focus() == m_window.Item(IDC_FILE_NAME); }, 5000));
    DWORD start = 1, end = 0;
    SendMessageW(FindWindowExW(rate, nullptr, L"Edit", nullptr), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, end);
    EXPECT_EQ(Requested(), "");
}

TEST_F(WindowTest, AListedPortsWholeNameShowsDroppedDownAndClosed) {
    _putenv("TOVREL_PORTS=COM3");
    Open();
    const HWND port = m_window.Item(IDC_PORT);
    const HWND list = m_window.DropDown(IDC_PORT);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(SendMessageW(port, CB_GETCOUNT, 0, 0), 3);
    const std::wstring longest = Widen(m_window.ItemText(IDC_PORT, 2));
    // Measured in the dialog's font, the item fits the dropped list.
    const SIZE extent = TextExtent(longest);
    RECT client{};
    GetClientRect(list, &client);
    // A COM name is short already and comes first; what wine's ports are,
    // in the window's words.
    EXPECT_EQ(Narrow(longest), "COM3 — 串口");
    EXPECT_GE(client.right - client.left, extent.cx) << Narrow(longest);
    // Chosen, the closed field shows it from its start.
    EXPECT_EQ(m_window.ChooseInList(IDC_PORT, list, 2), Strings{});
    EXPECT_EQ(Narrow(WindowTextOf(port)), Narrow(longest));
    const HWND edit = FindWindowExW(port, nullptr, L"Edit", nullptr);
    const short first = static_cast<short>(LOWORD(SendMessageW(edit, EM_POSFROMCHAR, 0, 0)));
    EXPECT_GE(first, 0);
    EXPECT_LT(first, 8);
}

// Arrow keys on a button keep the focus on it: Space then presses it.
TEST_F(WindowTest, ArrowKeysNeverTakeTheFocusOffAControl) {
    Open();
    const std::pair<int, const char*> buttons[] = {{IDC_WRITE_TEXT, "请先打开或创建1个文件！"},
                                                   {IDC_READ_TEXT, "请先打开或创建1个文件。"},
                                                   {IDC_WRITE_FILE, "请先打开或创建1个文件!"},
                                                   {IDC_READ_FILE, "请选打开或创建1个文件!"},
                                                   {IDC_DELETE_FILE, "请先输入要删除的文件名。"}};
    for (const auto& [id, box] : buttons) {
        SCOPED_TRACE(id);
        PostMessageW(m_window.Dialog(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_window.Item(id)), TRUE);
        ASSERT_TRUE(m_window.WaitFor([&] { return m_window.Focus() == m_window.Item(id); }, 5000));
        ASSERT_TRUE(SendXInput("key --delay 30 Down Down Right Up Left Left space"));
        EXPECT_TRUE(m_window.WaitFor([this] { return m_window.BoxShown(); }, 5000));
        EXPECT_EQ(m_window.Settle(), Strings{box});
    }
}

TEST_F(WindowTest, TheAboutBoxOpensFromTheSystemMenu) {
    Open();
    PostMessageW(m_window.Dialog(), WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    HWND about = nullptr;
    ASSERT_TRUE(m_window.WaitFor([&] { return (about = m_window.FindDialog(Widen("关于 Tovrel"))) != nullptr; }, 5000));
    EXPECT_FALSE(IsWindowEnabled(m_window.Dialog()));  // modal
    EXPECT_EQ(GetWindow(about, GW_OWNER), m_window.Dialog());
    Strings texts;
    HWND icon = nullptr;
    for (HWND child = GetWindow(about, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && ClassOf(child) == L"Static")
            icon = child;
        else
            texts.push_back(Narrow(WindowTextOf(child)));
    }
    EXPECT_EQ(texts, (Strings{"Tovrel 1.0 版", "确定"}));
    ASSERT_NE(icon, nullptr);
    EXPECT_NE(SendMessageW(icon, STM_GETICON, 0, 0), 0);
    PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
    EXPECT_TRUE(m_window.WaitFor([&] { return !IsWindow(about); }, 5000));
    EXPECT_TRUE(m_window.WaitFor([&] { return IsWindowEnabled(m_window.Dialog()) != FALSE; }, 5000));
    EXPECT_TRUE(m_window.Running());
}

// A module that moves bytes at the line's speed, at 115200 bit/s: a 24 KiB
// file takes some 2.2 s, 48 chunks.
class TransferTest : public WindowTest {
protected:
    static constexpr size_t kBigSize = 24 * 1024;
    void SetUp() override {
        WindowTest::SetUp();
        Open("paced");
        ASSERT_EQ(m_window.Choose(IDC_BAUD_RATE, 7), Strings{});  // the next button reopens COM1 at 115200
        ASSERT_EQ(m_window.Click(IDC_CLOSE_FILE), Strings{});  // whatever an earlier run left open
        m_window.SetText(IDC_FILE_NAME, "BIG.BIN");
        DeleteFileW(DiskPath(L"BIG.BIN").c_str());
        ASSERT_EQ(m_window.Click(IDC_OPEN_CREATE), Strings{});
        m_data = Pattern(kBigSize);
        WriteFileBytes(PcPath(L"big.bin"), m_data);
    }
    void TearDown() override {
        if (m_window.Running()) m_window.Click(IDC_CLOSE_FILE);
        WindowTest::TearDown();
    }
    WindowDriver::Answers WriteBig(std::function<void(HWND)> onProgress) {
        WindowDriver::Answers answers;
        answers.files = {PcPath(L"big.bin")};
        answers.onProgress = std::move(onProgress);
        return answers;
    }
    static HWND CancelButton(HWND progress) {
        for (HWND child = GetWindow(progress, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
            if (ClassOf(child) == L"Button") return child;
        return nullptr;
    }
    Bytes m_data;
};

TEST_F(TransferTest, InputDuringATransferNeverReachesTheDialog) {
    bool disabled = false, cancelShown = false, stayed = false;
    auto user = [&](HWND progress) {
        disabled = !IsWindowEnabled(m_window.Dialog());
        cancelShown = Narrow(WindowTextOf(CancelButton(progress))) == "取消";
        for (int id : {IDC_GET_INFO, IDC_CLOSE_FILE, IDC_WRITE_TEXT, IDC_OPEN_CREATE, IDC_READ_FILE, IDC_SET_PARAMS})
            PostMessageW(m_window.Item(id), BM_CLICK, 0, 0);
        PostMessageW(m_window.Item(IDC_GET_INFO), WM_KEYDOWN, VK_SPACE, 0);
        PostMessageW(m_window.Item(IDC_GET_INFO), WM_KEYUP, VK_SPACE, 0);
        PostMessageW(m_window.Item(IDC_FILE_NAME), WM_CHAR, L'x', 0);
        PostMessageW(m_window.Dialog(), WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageW(m_window.Dialog(), WM_KEYDOWN, VK_RETURN, 0);
        PostMessageW(progress, WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageW(progress, WM_CLOSE, 0, 0);
        PostMessageW(m_window.Dialog(), WM_CLOSE, 0, 0);
        Sleep(300);
        stayed = IsWindowVisible(progress) != FALSE;
    };
    EXPECT_EQ(m_window.Click(IDC_WRITE_FILE, WriteBig(user)), Strings{kWriteOk});
    EXPECT_TRUE(disabled);
    EXPECT_TRUE(cancelShown);
    EXPECT_TRUE(stayed);  // neither Esc nor a close took it away
    EXPECT_EQ(FileBytes(DiskPath(L"BIG.BIN")), m_data);
    // Nothing ran between the chunks, and nothing was kept for later: no
    // box, the dialog still there, its fields as they were.
    Sleep(500);
    EXPECT_EQ(m_window.Settle(), Strings{});
    EXPECT_TRUE(m_window.Running());
    EXPECT_EQ(Shown(IDC_FILE_NAME), "BIG.BIN");
    EXPECT_EQ(Shown(IDC_FILE_STATUS), "文件已打开，大小为：");
    EXPECT_EQ(m_window.ProgressWindow(), nullptr);
}

TEST_F(TransferTest, CancellingAWriteKeepsWhatWasWrittenAndSaysSo) {
    RECT before{}, after{}, text{};
    HCURSOR overDialog = nullptr, overCancel = nullptr;
    std::string shown;
    auto cursorAt = [](const std::string& pointer) {
        SendXInput(pointer);
        Sleep(200);  // the program sets its cursor as it waits
        CURSORINFO cursor{};
        cursor.cbSize = sizeof cursor;
        GetCursorInfo(&cursor);
        return cursor.hCursor;
    };
    auto cancel = [&](HWND progress) {
        const HWND button = CancelButton(progress);
        const HWND label = FindWindowExW(progress, nullptr, L"Static", nullptr);
        GetWindowRect(progress, &before);
        GetClientRect(label, &text);
        overDialog = cursorAt(PointerTo(m_window.Dialog(), 20, -20));
        overCancel = cursorAt(PointerTo(button, 10, 8));
        // Watched from before the click: the window goes with the transfer
        // once the chunk on the line (46 ms) ends, sooner than the click's
        // script is known to be done.
        struct Watch {
            HWND progress, label;
            std::string* shown;
            RECT* after;
        } watch{progress, label, &shown, &after};
        const HANDLE watcher = CreateThread(nullptr, 0, [](void* context) -> DWORD {
            auto* w = static_cast<Watch*>(context);
            for (DWORD start = GetTickCount(); GetTickCount() - start < 5000 && IsWindow(w->progress); Sleep(1)) {
                const std::string text = Narrow(WindowTextOf(w->label));
                RECT rect{};
                GetWindowRect(w->progress, &rect);
                if (text.find("正在停止") == std::string::npos) continue;
                *w->shown = text;
                *w->after = rect;
                return 0;
            }
            return 1;
        }, &watch, 0, nullptr);
        ASSERT_NE(watcher, nullptr);
        SendXInput("click 1");
        WaitForSingleObject(watcher, 6000);
        CloseHandle(watcher);
    };
    EXPECT_EQ(m_window.Click(IDC_WRITE_FILE, WriteBig(cancel)), Strings{kNotWhole});
    // The normal cursor over 取消, the busy one over the dialog.
    EXPECT_NE(overCancel, overDialog);
    // The same size with the line that says it stops, which fits.
    EXPECT_NE(shown.find("正在停止"), std::string::npos) << shown;
    EXPECT_TRUE(EqualRect(&before, &after));
    EXPECT_GE(text.bottom, 3 * TextExtent(L"正").cy);
    const Bytes written = FileBytes(DiskPath(L"BIG.BIN"));
    EXPECT_GT(written.size(), 0u);
    EXPECT_LT(written.size(), kBigSize);
    EXPECT_EQ(written.size() % 512, 0u);  // stopped between chunks
    EXPECT_EQ(written, Bytes(m_data.begin(), m_data.begin() + static_cast<std::ptrdiff_t>(written.size())));
}

TEST(WindowResources, TheExeHoldsIcon128AndTheVersionBlock) {
    const std::wstring exe = Env("TOVREL_WINDOW_EXE");
    ASSERT_FALSE(exe.empty());
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    // The 16-pixel image as the XPM draws it: a transparent corner, the
    // blue border, the grey disk.
    auto icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, 16, 16, 0));
    ASSERT_NE(icon, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAPINFO header{};
    header.bmiHeader = {sizeof(BITMAPINFOHEADER), 16, -16, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<uint32_t> colour(256), mask(256);
    HDC dc = GetDC(nullptr);
    ASSERT_EQ(GetDIBits(dc, info.hbmColor, 0, 16, colour.data(), &header, DIB_RGB_COLORS), 16);
    ASSERT_EQ(GetDIBits(dc, info.hbmMask, 0, 16, mask.data(), &header, DIB_RGB_COLORS), 16);
    ReleaseDC(nullptr, dc);
    EXPECT_NE(mask[0] & 0xFFFFFF, 0u);          // (0,0): transparent
    EXPECT_EQ(mask[1 * 16 + 1] & 0xFFFFFF, 0u);  // (1,1): drawn
    EXPECT_EQ(colour[1 * 16 + 1] & 0xFFFFFF, 0x1F4E9Au);  // 'b'
    EXPECT_EQ(colour[2 * 16 + 6] & 0xFFFFFF, 0xC8C8C8u);  // 'g'
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
    EXPECT_NE(LoadImageW(module, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, 32, 32, 0), nullptr);
    FreeLibrary(module);

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));
    auto value = [&block](const wchar_t* name) {
        void* text = nullptr;
        UINT length = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\080404B0\\") + name;
        if (!VerQueryValueW(block.data(), path.c_str(), &text, &length)) return std::string("<none>");
        return Narrow(static_cast<const wchar_t*>(text));
    };
    EXPECT_EQ(value(L"ProductName"), "Tovrel 应用程序");
    EXPECT_EQ(value(L"FileVersion"), "1, 0, 0, 1");
    EXPECT_EQ(value(L"OriginalFilename"), "Tovrel.EXE");
}

}  // namespace
