#include "WindowDriver.h"

#include <fstream>

namespace {

const wchar_t kMainCaption[] = L"Tovrel Haverlund";
const wchar_t kBoxCaption[] = L"Tovrel";
constexpr int kMessageBoxTextId = 0xFFFF;  // the static that holds a message box's text
constexpr int kFileNameCombo = 0x47C;      // cmb13: the name field of the file dialog
constexpr int kFileNameEdit = 0x480;       // edt1: the same in older dialogs
constexpr DWORD kSendTimeoutMs = 5000;
// A button whose pushed state marks that the posted input before it has
// been taken: sent messages overtake posted ones, so a sent one cannot.
constexpr int kMarkerButton = 1028;  // GO

struct Search {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window)) search->windows.push_back(window);
    return TRUE;
}

LRESULT SendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
    return static_cast<LRESULT>(result);
}

std::wstring MessageBoxText(HWND box) {
    if (HWND text = GetDlgItem(box, kMessageBoxTextId)) return WindowTextOf(text);
    // Otherwise the one static with text.
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        if (ClassOf(child) == L"Static" && !WindowTextOf(child).empty()) return WindowTextOf(child);
    return L"";
}

}  // namespace

std::wstring WindowTextOf(HWND window) {
    wchar_t buffer[4096] = {};
    SendWithTimeout(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

namespace {

std::string InPortsFolder(const char* name) {
    const char* folder = std::getenv("TOVREL_WINE_PORTS");
    return folder != nullptr ? std::string(folder) + "\\" + name : std::string();
}

// Hands wine-ports a request file (whole, by renaming) and waits for it
// to be taken: wine-ports removes it once done.
bool Request(const char* name, const std::string& content) {
    const std::string request = InPortsFolder(name);
    if (request.empty()) return false;
    const std::string written = request + ".new";
    {
        std::ofstream out(written, std::ios::binary);  // xdotool takes LF alone
        out << content << "\n";
        if (!out.flush()) return false;
    }
    if (!MoveFileExA(written.c_str(), request.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
    for (int i = 0; i < 250; ++i) {
        if (GetFileAttributesA(request.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
        Sleep(20);
    }
    return false;
}

}  // namespace

bool UsePortLayout(const char* layout) { return Request("layout.request", layout); }

bool SendXInput(const std::string& script) {
    const std::string failed = InPortsFolder("input.failed");
    DeleteFileA(failed.c_str());
    return Request("input.request", script) && GetFileAttributesA(failed.c_str()) == INVALID_FILE_ATTRIBUTES;
}

std::string PointerTo(HWND window, int x, int y) {
    RECT frame{};
    GetWindowRect(window, &frame);
    const long atX = x >= 0 ? frame.left + x : frame.right + x;
    const long atY = y >= 0 ? frame.top + y : frame.bottom + y;
    return "mousemove " + std::to_string(atX) + " " + std::to_string(atY) + "\n";
}

WindowDriver::~WindowDriver() { Stop(); }

bool WindowDriver::Start(const std::wstring& exe, const std::wstring& folder, std::vector<std::string>* startupBoxes) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &m_process))
        return false;
    if (!WaitFor([this] { return (m_dialog = FindDialog(kMainCaption)) != nullptr || !Running(); }, 20000) ||
        m_dialog == nullptr)
        return false;
    // The boxes of the start follow the dialog on screen; a mark posted now
    // comes after them.
    Post(nullptr, 0, 0, 0);
    const std::vector<std::string> boxes = Settle();
    if (startupBoxes != nullptr) startupBoxes->insert(startupBoxes->end(), boxes.begin(), boxes.end());
    return Running() && Idle();
}

void WindowDriver::Stop() {
    if (m_process.hProcess == nullptr) return;
    if (Running()) {
        TerminateProcess(m_process.hProcess, 1);
        WaitForSingleObject(m_process.hProcess, 10000);
    }
    CloseHandle(m_process.hThread);
    CloseHandle(m_process.hProcess);
    m_process = {};
    m_dialog = nullptr;
}

bool WindowDriver::Running() const {
    return m_process.hProcess != nullptr && WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT;
}

std::string WindowDriver::Text(int id) const { return Narrow(WindowTextOf(Item(id))); }

void WindowDriver::SetText(int id, const std::string& utf8) {
    const std::wstring text = Widen(utf8);
    SendWithTimeout(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

int WindowDriver::Selected(int comboId) const {
    return static_cast<int>(SendWithTimeout(Item(comboId), CB_GETCURSEL, 0, 0));
}

std::string WindowDriver::ItemText(int comboId, int index) const {
    wchar_t text[512] = {};
    const LRESULT length = SendWithTimeout(Item(comboId), CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length < 0 || length >= 512) return {};
    SendWithTimeout(Item(comboId), CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    return Narrow(text);
}

// The list closed, the item selected and in the edit field: the system
// puts it there after the dialog handled the change.
bool WindowDriver::Chosen(int comboId, int index) const {
    return !Dropped(comboId) && Selected(comboId) == index && Text(comboId) == ItemText(comboId, index);
}

HWND WindowDriver::Focus() const {
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    return GetGUIThreadInfo(GetWindowThreadProcessId(m_dialog, nullptr), &thread) ? thread.hwndFocus : nullptr;
}

bool WindowDriver::Dropped(int comboId) const { return SendWithTimeout(Item(comboId), CB_GETDROPPEDSTATE, 0, 0) != 0; }

HWND WindowDriver::DropDown(int comboId) {
    const HWND combo = Item(comboId);
    RECT frame{};
    GetWindowRect(combo, &frame);
    // The drop button is the closed combo's right end.
    if (!SendXInput(PointerTo(combo, -6, (frame.bottom - frame.top) / 2) + "click 1") ||
        !WaitFor([&] { return Dropped(comboId); }, 5000))
        return nullptr;
    // The list is a window of its own (class ComboLBox) below the combo.
    for (HWND window : TopLevelWindows())
        if (ClassOf(window) == L"ComboLBox") return window;
    return nullptr;
}

std::vector<std::string> WindowDriver::Choose(int comboId, int index, Answers answers) {
    const HWND list = DropDown(comboId);
    if (list == nullptr) return {"<the list did not drop down>"};
    return ChooseInList(comboId, list, index, std::move(answers));
}

std::vector<std::string> WindowDriver::ChooseInList(int comboId, HWND list, int index, Answers answers) {
    // Its items are of one height from its client area's top.
    const int top = static_cast<int>(SendWithTimeout(list, LB_GETTOPINDEX, 0, 0));
    const int height = static_cast<int>(SendWithTimeout(list, LB_GETITEMHEIGHT, 0, 0));
    POINT item{4, (index - top) * height + height / 2};
    ClientToScreen(list, &item);
    if (!SendXInput("mousemove " + std::to_string(item.x) + " " + std::to_string(item.y) + "\nclick 1") ||
        !WaitFor([&] { return Chosen(comboId, index) || BoxShown(); }, 5000))
        return {"<the item was not chosen>"};
    return Settle(std::move(answers));
}

std::vector<std::string> WindowDriver::ChooseByKeys(int comboId, const std::string& keys, int index) {
    if (!SendXInput(PointerTo(Item(comboId), 6, 6) + "click 1\nkey --delay 30 " + keys) ||
        !WaitFor([&] { return Chosen(comboId, index); }, 5000))
        return {"<the keys did not choose item " + std::to_string(index) + ">"};
    return Settle();
}

std::vector<std::string> WindowDriver::TypeInto(int comboId, const std::string& ascii) {
    const HWND combo = Item(comboId);
    const std::string typed = ascii.empty() ? std::string() : "\ntype --delay 30 " + ascii;
    if (!SendXInput(PointerTo(combo, 6, 6) + "click 1\nkey Home shift+End BackSpace" + typed) ||
        !WaitFor([&] { return Narrow(WindowTextOf(combo)) == ascii; }, 5000))
        return {"<not typed>"};
    return Settle();
}

std::vector<std::string> WindowDriver::Click(int id, Answers answers) {
    Post(Item(id), BM_CLICK, 0, 0);
    return Settle(std::move(answers));
}

std::vector<std::string> WindowDriver::ClickByMouse(int id, Answers answers, std::function<bool()> shown) {
    const HWND button = Item(id);
    RECT frame{};
    GetWindowRect(button, &frame);
    if (!SendXInput(PointerTo(button, (frame.right - frame.left) / 2, (frame.bottom - frame.top) / 2) + "click 1"))
        return {"<not clicked>"};
    return SettleOnceShown(std::move(answers), shown);
}

std::vector<std::string> WindowDriver::PressKeys(const std::string& keys, Answers answers, std::function<bool()> shown) {
    if (!SendXInput("key --delay 30 " + keys)) return {"<keys not sent>"};
    return SettleOnceShown(std::move(answers), shown);
}

std::vector<std::string> WindowDriver::SettleOnceShown(Answers answers, const std::function<bool()>& shown) {
    if (!WaitFor([&] { return !Running() || (shown ? shown() : BoxShown()); }, 10000)) return {"<nothing came>"};
    return Settle(std::move(answers));
}

std::vector<std::string> WindowDriver::Type(int id, const std::wstring& text) {
    for (wchar_t c : text) PostMessageW(Item(id), WM_CHAR, c, 0);
    Post(nullptr, 0, 0, 0);
    return Settle();
}

void WindowDriver::Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND marker = Item(kMarkerButton);
    SendWithTimeout(marker, BM_SETSTATE, FALSE, 0);
    if (window != nullptr) PostMessageW(window, message, wParam, lParam);
    PostMessageW(marker, BM_SETSTATE, TRUE, 0);
    m_marked = true;
}

std::vector<std::string> WindowDriver::Settle(Answers answers) {
    std::vector<std::string> boxes;
    size_t nextFile = 0;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 120000 && Running()) {
        if (HWND box = FindMessageBox()) {
            boxes.push_back(Narrow(MessageBoxText(box)));
            if (!Answer(box, &answers)) boxes.push_back("<no button " + answers.choices.front() + ">");
            WaitFor([box] { return !IsWindow(box); }, 5000);
            continue;
        }
        if (HWND files = FindFileDialog()) {
            if (nextFile < answers.files.size()) {
                HWND name = GetDlgItem(files, kFileNameCombo);
                if (name == nullptr) name = GetDlgItem(files, kFileNameEdit);
                const std::wstring& path = answers.files[nextFile++];
                SendWithTimeout(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
                PostMessageW(files, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(files, IDOK)));
            } else {
                PostMessageW(files, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(files, IDCANCEL)));
            }
            WaitFor([files] { return !IsWindow(files) || !IsWindowVisible(files); }, 5000);
            continue;
        }
        if (answers.onProgress) {
            if (HWND progress = ProgressWindow()) {
                auto act = std::move(answers.onProgress);
                answers.onProgress = nullptr;
                act(progress);
                continue;
            }
        }
        if (Idle()) {
            if (m_marked) SendWithTimeout(Item(kMarkerButton), BM_SETSTATE, FALSE, 0);
            m_marked = false;
            return boxes;
        }
        Sleep(20);
    }
    boxes.push_back(Running() ? "<not idle after 120 s>" : "<ended>");
    return boxes;
}

bool WindowDriver::Answer(HWND box, Answers* answers) {
    if (answers->choices.empty()) {
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return true;
    }
    const std::wstring label = Widen(answers->choices.front());
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) != L"Button" || WindowTextOf(child) != label) continue;
        answers->choices.erase(answers->choices.begin());
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(child), BN_CLICKED), reinterpret_cast<LPARAM>(child));
        return true;
    }
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    return false;
}

std::vector<HWND> WindowDriver::TopLevelWindows() const {
    Search search{m_process.dwProcessId, {}};
    EnumWindows(&CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

HWND WindowDriver::FindDialog(const std::wstring& caption) const {
    for (HWND window : TopLevelWindows())
        if (ClassOf(window) == L"#32770" && WindowTextOf(window) == caption) return window;
    return nullptr;
}

HWND WindowDriver::FindMessageBox() const { return FindDialog(kBoxCaption); }

HWND WindowDriver::FindFileDialog() const {
    for (HWND window : TopLevelWindows()) {
        if (ClassOf(window) != L"#32770" || window == m_dialog) continue;
        if (GetDlgItem(window, kFileNameCombo) != nullptr || GetDlgItem(window, kFileNameEdit) != nullptr) return window;
    }
    return nullptr;
}

HWND WindowDriver::ProgressWindow() const {
    for (HWND window : TopLevelWindows())
        if (ClassOf(window) == L"TovrelTransferProgress") return window;
    return nullptr;
}

// Idle: the program has taken the input posted so far (the mark behind it
// is seen), its dialog is enabled again (a handler keeps it disabled but
// for a box), it has answered a message sent after that (so what it shows
// is settled), and it shows no box or file dialog. In this order: a box
// shown in the meantime is then on screen.
bool WindowDriver::Idle() const {
    if (m_marked && (SendWithTimeout(Item(kMarkerButton), BM_GETSTATE, 0, 0) & BST_PUSHED) == 0) return false;
    if (!IsWindowEnabled(m_dialog)) return false;
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(m_dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result)) return false;
    return FindMessageBox() == nullptr && FindFileDialog() == nullptr;
}

bool WindowDriver::WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) const {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(10);
    }
    return true;
}
