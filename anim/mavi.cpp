#include "anim/mavi.h"

#include "base/unique_handle.h"

namespace keyscour::mAVI {

namespace {

constexpr wchar_t kAnimationClass[] = L"SysAnimate32";
constexpr DWORD kStyleStill = WS_CHILD | WS_VISIBLE | ACS_TRANSPARENT;  // 0x50000002
constexpr DWORD kStyleAutoPlay = kStyleStill | ACS_AUTOPLAY;             // 0x50000006
constexpr UINT kOpenResource = 0x464;                                    // ACM_OPENA
constexpr UINT kOpenFile = 0x467;                                        // ACM_OPENW: paths stay UTF-16
constexpr UINT kPlay = 0x465;                                            // ACM_PLAY
constexpr UINT kStop = 0x466;                                            // ACM_STOP

using InitCommonControlsExFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);

PlatformCalls DefaultPlatform() {
    PlatformCalls calls;
    calls.loadLibrary = [](const wchar_t* name) { return LoadLibraryW(name); };
    calls.freeLibrary = [](HMODULE module) { return FreeLibrary(module); };
    calls.destroyWindow = [](HWND window) { return DestroyWindow(window); };
    // Looked up rather than linked, so an old common-controls library
    // without the entry point falls back to InitCommonControls.
    calls.initCommonControlsEx = reinterpret_cast<InitCommonControlsExFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"comctl32.dll"), "InitCommonControlsEx")));
    calls.initCommonControls = [] { InitCommonControls(); };
    return calls;
}

struct AnimationWindowTraits {
    using pointer = HWND;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer window) noexcept { Platform().destroyWindow(window); }
};
struct ClipLibraryTraits {
    using pointer = HMODULE;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer module) noexcept { Platform().freeLibrary(module); }
};
using unique_animation = unique_handle<AnimationWindowTraits>;
using unique_clip_library = unique_handle<ClipLibraryTraits>;

// Module state. Owners, so that a handle is released once and then no
// longer names anything.
unique_animation hAnimation;
unique_clip_library hResLib;
bool bComCtlDone = false;

// Rounds d / 2 to the nearest integer, a half to the even neighbour.
LONG HalfToEven(LONG d) {
    const LONG floor = d >= 0 ? d / 2 : -((-d + 1) / 2);
    return (d % 2 != 0 && floor % 2 != 0) ? floor + 1 : floor;
}

HWND CreateAnimation(HWND hWndHost, DWORD style, HINSTANCE instance) {
    return CreateWindowExW(0, kAnimationClass, nullptr, style, 0, 0, 0, 0, hWndHost, nullptr, instance, nullptr);
}

}  // namespace

PlatformCalls& Platform() {
    static PlatformCalls calls = DefaultPlatform();
    return calls;
}

HWND AnimationWindow() { return hAnimation.get(); }

void OpenAnimation(HWND hWndHost, const std::wstring& sClipSource, std::int32_t lResID, bool bCenter,
                   bool bAutoPlay) {
    // What this call acquires. Whatever is still held here when the call
    // ends is given back, the library first, as the failure path does.
    unique_animation control;
    unique_clip_library library;
    try {
        if (!bComCtlDone) InitComCtl(ICC_ANIMATE_CLASS);
        const DWORD style = bAutoPlay ? kStyleAutoPlay : kStyleStill;

        // The host never holds two controls; the library the old one read
        // its clip from is given back with it.
        hAnimation.reset();
        hResLib.reset();

        LRESULT result = 0;
        if (lResID != 0) {
            library.reset(Platform().loadLibrary(sClipSource.c_str()));
            if (!library) return;
            control.reset(CreateAnimation(hWndHost, style, library.get()));
            if (!control) return;
            // wParam 0: the clip comes from the instance given at creation.
            result = SendMessageW(control.get(), kOpenResource, 0,
                                  reinterpret_cast<LPARAM>(MAKEINTRESOURCEW(lResID)));
        } else {
            control.reset(CreateAnimation(hWndHost, style, GetModuleHandleW(nullptr)));
            if (!control) return;
            result = SendMessageW(control.get(), kOpenFile, 0, reinterpret_cast<LPARAM>(sClipSource.c_str()));
        }
        if (result == 0) return;

        hAnimation = std::move(control);
        if (library) hResLib = std::move(library);
        if (bCenter) CenterAnimation(hWndHost);
        // Repeat without end from frame 0 to frame 0: the first frame stands.
        // An auto-play control is already looping and keeps doing so.
        SendMessageW(hAnimation.get(), kPlay, static_cast<WPARAM>(-1), 0);
    } catch (...) {
        // Quiet, like every other failure here.
    }
}

void CloseAnimation() {
    if (hAnimation) {
        SendMessageW(hAnimation.get(), kStop, 0, 0);
        SendMessageW(hAnimation.get(), kOpenResource, 0, 0);  // closes the clip
        hAnimation.reset();
    }
    hResLib.reset();  // only after the window that read from it is gone
}

void CenterAnimation(HWND hWndHost) {
    if (!hAnimation) return;
    RECT host{}, animation{};
    GetWindowRect(hWndHost, &host);
    GetWindowRect(hAnimation.get(), &animation);
    const LONG w = animation.right - animation.left;
    const LONG h = animation.bottom - animation.top;
    const LONG y = HalfToEven(host.bottom - host.top - h);
    const LONG x = HalfToEven(host.right - host.left - w);
    MoveWindow(hAnimation.get(), x, y, w, h, TRUE);
}

void InitComCtl(std::int32_t lICC) {
    bComCtlDone = true;  // first, so that it is tried once whatever happens
    const INITCOMMONCONTROLSEX init{sizeof(INITCOMMONCONTROLSEX), static_cast<DWORD>(lICC)};
    if (Platform().initCommonControlsEx)
        Platform().initCommonControlsEx(&init);
    else
        Platform().initCommonControls();
}

}  // namespace keyscour::mAVI
