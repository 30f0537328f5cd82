// tovrel.exe: the window, on the system's own dialogs.
#include "Win32Api.h"

#include "app/TovrelApp.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    theApp.InitInstance();
    return 0;
}
