// CFileDialog over COMDLG32: the common file-open (or save) dialog.
#include "Win32Api.h"

#include <vector>

#include "BusyScope.h"
#include "text/WideText.h"
#include "Win32Dialog.h"

namespace {

bool HasWildcards(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

// "description|pattern|...||" as the dialog's "description\0pattern\0...\0".
// A bare ".*" would offer only names that begin with a dot: like "*.*" it
// means every file here.
std::wstring SystemFilter(const std::string& filter) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t bar; (bar = filter.find('|', start)) != std::string::npos; start = bar + 1)
        parts.push_back(filter.substr(start, bar - start));
    std::wstring out;
    for (size_t i = 0; i + 1 < parts.size() && !parts[i].empty(); i += 2) {
        std::string patterns;
        size_t from = 0;
        const std::string& given = parts[i + 1];
        while (from <= given.size()) {
            size_t semicolon = given.find(';', from);
            if (semicolon == std::string::npos) semicolon = given.size();
            std::string pattern = given.substr(from, semicolon - from);
            if (pattern == ".*") pattern = "*.*";
            if (!pattern.empty()) patterns += (patterns.empty() ? "" : ";") + pattern;
            from = semicolon + 1;
        }
        out += Widen(parts[i]) + L'\0' + Widen(patterns.empty() ? "*.*" : patterns) + L'\0';
    }
    if (out.empty()) out = std::wstring(L"*.*") + L'\0' + L"*.*" + L'\0';
    return out + L'\0';
}

}  // namespace

int CFileDialog::DoModal() {
    // No parent given: the active dialog owns it.
    const HWND owner = OwnerWindowFor(m_pParentWnd);
    const std::wstring filter = SystemFilter(m_strFilter);
    std::vector<wchar_t> file(32768, L'\0');
    // A name or extension with wildcards only filters, and the filter
    // offers every file already.
    if (!HasWildcards(m_strFileName)) {
        const std::wstring name = Widen(m_strFileName);
        std::copy(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(std::min(name.size(), file.size() - 1)),
                  file.begin());
    }
    std::wstring defaultExtension;
    if (!HasWildcards(m_strDefExt)) defaultExtension = Widen(m_strDefExt[0] == '.' ? m_strDefExt.substr(1) : m_strDefExt);
    std::wstring folder(static_cast<size_t>(GetCurrentDirectoryW(0, nullptr)) + 1, L'\0');
    folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));

    OPENFILENAMEW request{};
    request.lStructSize = sizeof request;
    request.hwndOwner = owner;
    request.lpstrFilter = filter.c_str();
    request.nFilterIndex = 1;
    request.lpstrFile = file.data();
    request.nMaxFile = static_cast<DWORD>(file.size());
    request.lpstrInitialDir = folder.c_str();
    request.lpstrDefExt = defaultExtension.empty() ? nullptr : defaultExtension.c_str();
    // The current directory stays where it was: 读文件 saves there.
    request.Flags = m_dwFlags | OFN_EXPLORER | OFN_NOCHANGEDIR | (m_bOpen ? OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST : 0);

    BusyScope::ModalPause pause;
    const BOOL chosen = m_bOpen ? GetOpenFileNameW(&request) : GetSaveFileNameW(&request);
    if (!chosen) return IDCANCEL;
    m_strPathName = Narrow(file.data());
    return IDOK;
}
