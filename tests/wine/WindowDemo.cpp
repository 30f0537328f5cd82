// window_demo EXE FOLDER: starts the window in FOLDER, presses 获取 and
// 打开/创建 (answering their boxes), prints the dialog's screen rectangle
// as "left top width height" and keeps the window open until a line or the
// end of standard input arrives. For the screenshot script.
#include "app/Resources.h"

#include <cstdio>
#include <string>

#include "WindowDriver.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: window_demo EXE FOLDER\n");
        return 2;
    }
    WindowDriver window;
    if (!window.Start(Widen(argv[1]), Widen(argv[2]))) {
        std::fprintf(stderr, "window_demo: the window did not come up\n");
        return 1;
    }
    for (int id : {IDC_GET_INFO, IDC_OPEN_CREATE})
        for (const std::string& box : window.Click(id)) std::fprintf(stderr, "window_demo: box \"%s\"\n", box.c_str());
    // The caret and selection off the picture: the focus on 打开/创建.
    PostMessageW(window.Dialog(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(window.Item(IDC_OPEN_CREATE)), TRUE);
    window.Settle();
    RECT frame{};
    GetWindowRect(window.Dialog(), &frame);
    std::printf("%ld %ld %ld %ld\n", frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top);
    std::fflush(stdout);
    char line[16];
    (void)std::fgets(line, sizeof line, stdin);
    window.Stop();
    return 0;
}
