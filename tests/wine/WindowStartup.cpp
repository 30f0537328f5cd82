// window_startup EXE [RUNS]: the window's start-up time, from the process's
// creation to its dialog on screen and painted (visible, and answering a
// message once its first paint is done), RUNS times (default 10); prints
// each run, then the median and the worst. The port it opens must exist.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Search {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindShownDialog(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (owner == search->processId && IsWindowVisible(window) && lstrcmpW(name, L"#32770") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Milliseconds to the dialog on screen, or -1.
double TimeOneStart(const std::wstring& exe) {
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring commandLine = L"\"" + exe + L"\"";
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return -1;
    double result = -1;
    for (;;) {
        Search search{process.dwProcessId, nullptr};
        EnumWindows(&FindShownDialog, reinterpret_cast<LPARAM>(&search));
        DWORD_PTR ignored = 0;
        if (search.found != nullptr &&
            SendMessageTimeoutW(search.found, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored)) {
            QueryPerformanceCounter(&now);
            result = static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
            break;
        }
        QueryPerformanceCounter(&now);
        if (now.QuadPart - start.QuadPart > frequency.QuadPart * 20) break;  // 20 s
        if (WaitForSingleObject(process.hProcess, 1) != WAIT_TIMEOUT) break;
    }
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: window_startup EXE [RUNS]\n");
        return 2;
    }
    const int length = MultiByteToWideChar(CP_ACP, 0, argv[1], -1, nullptr, 0);
    std::wstring exe(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, exe.data(), length);
    exe.resize(static_cast<size_t>(length - 1));
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double ms = TimeOneStart(exe);
        if (ms < 0) {
            std::fprintf(stderr, "window_startup: run %d: no dialog on screen\n", i + 1);
            return 1;
        }
        std::printf("run %d: %.1f ms\n", i + 1, ms);
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    std::printf("median %.1f ms, worst %.1f ms of %d\n", times[times.size() / 2], times.back(), runs);
    return 0;
}
