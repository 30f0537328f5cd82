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

bool UsePortLayout(const char* layout) {
    const char* folder = std::getenv("TOVREL_WINE_PORTS");
    if (folder == nullptr) return false;
    const std::string request = std::string(folder) + "\\layout.request";
    {
        std::ofstream out(request);
        out << layout << "\n";
        if (!out.flush()) return false;
    }
    for (int i = 0; i < 150; ++i) {
        if (GetFileAttributesA(request.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
        Sleep(20);
    }
    return false;
}

WindowDriver::~WindowDriver() { Stop(); }

bool WindowDriver::Start(const std::wstring& exe, const std::wstring& folder, std::vector<std::string>* startupBoxes) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &m_process))
        return false;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 20000) {
        if (HWND box = FindMessageBox()) {
            if (startupBoxes != nullptr) startupBoxes->push_back(Narrow(MessageBoxText(box)));
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            WaitFor([box] { return !IsWindow(box); }, 5000);
            continue;
        }
        m_dialog = FindDialog(kMainCaption);
        if (m_dialog != nullptr && Idle()) return true;
        if (!Running()) return false;
        Sleep(20);
    }
    return false;
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

void WindowDriver::Select(int comboId, int index) {
    SendWithTimeout(Item(comboId), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::vector<std::string> WindowDriver::Choose(int comboId, int index, Answers answers) {
    Select(comboId, index);
    Post(m_dialog, WM_COMMAND, MAKEWPARAM(comboId, CBN_SELCHANGE), reinterpret_cast<LPARAM>(Item(comboId)));
    return Settle(std::move(answers));
}

std::vector<std::string> WindowDriver::Click(int id, Answers answers) {
    Post(Item(id), BM_CLICK, 0, 0);
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
            PostMessageW(box, WM_COMMAND, IDOK, 0);
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
    boxes.push_back("<not idle after 120 s>");
    return boxes;
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
