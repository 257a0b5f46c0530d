// mdlmain: the program's entry. It readies the common controls, shows
// Form1, and lives as long as that window.

#include <windows.h>
#include <commctrl.h>

#include "anim/mavi.h"
#include "registry/win32_registry.h"
#include "ui/form1.h"
#include "ui/message_pump.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    // A failure, or an old library without the entry point, is no reason to stop.
    const INITCOMMONCONTROLSEX classes{8, ICC_USEREX_CLASSES};
    if (auto initCommonControlsEx = keyscour::mAVI::Platform().initCommonControlsEx)
        initCommonControlsEx(&classes);

    keyscour::Win32Registry registry;
    keyscour::Form1 form(registry, {});
    if (!form.Create(instance)) return 1;
    form.Show(showCommand);
    return keyscour::RunMessageLoop(form.hwnd());
}
