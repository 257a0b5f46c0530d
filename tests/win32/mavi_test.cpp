// The busy animation against the real animation control and the clip in
// Wine's shell32.dll.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "anim/mavi.h"
#include "test_window.h"

namespace keyscour {
namespace {

using testing::ChildrenOfClass;
using testing::MakeHostWindow;
using testing::RectInParent;

// Counts of the acquiring and releasing calls the module makes, for the whole
// process: the counting wrappers are installed before any test runs.
struct Counts {
    int loads = 0, frees = 0, destroys = 0, initsEx = 0, inits = 0;
};
Counts counts;
mAVI::PlatformCalls real;

const bool installed = [] {
    real = mAVI::Platform();
    auto& calls = mAVI::Platform();
    calls.loadLibrary = [](const wchar_t* name) { return ++counts.loads, real.loadLibrary(name); };
    calls.freeLibrary = [](HMODULE module) { return ++counts.frees, real.freeLibrary(module); };
    calls.destroyWindow = [](HWND window) { return ++counts.destroys, real.destroyWindow(window); };
    calls.initCommonControlsEx = [](const INITCOMMONCONTROLSEX* init) {
        return ++counts.initsEx, real.initCommonControlsEx(init);
    };
    calls.initCommonControls = [] { ++counts.inits, real.initCommonControls(); };
    return true;
}();

constexpr wchar_t kShell[] = L"shell32.dll";
constexpr int kClip = 151;

class AnimationTest : public ::testing::Test {
protected:
    ~AnimationTest() override { mAVI::CloseAnimation(); }

    std::vector<HWND> Animations() const { return ChildrenOfClass(host.get(), L"SysAnimate32"); }

    unique_hwnd host = MakeHostWindow(120, 90);
};

TEST_F(AnimationTest, SecondOpenReplacesTheControlWithAnAutoPlayOne) {
    mAVI::OpenAnimation(host.get(), kShell, kClip, true, false);
    ASSERT_EQ(Animations().size(), 1u) << "the clip in shell32.dll did not open";
    const HWND still = Animations()[0];
    EXPECT_EQ(GetWindowLongW(still, GWL_STYLE) & ACS_AUTOPLAY, 0);

    mAVI::OpenAnimation(host.get(), kShell, kClip, true, true);
    const auto now = Animations();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_FALSE(IsWindow(still));
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(now[0], GWL_STYLE)) & 0xFFFF000F, 0x50000006u);
    EXPECT_EQ(mAVI::AnimationWindow(), now[0]);
}

TEST_F(AnimationTest, CloseThenOpenStillIsCentred) {
    mAVI::OpenAnimation(host.get(), kShell, kClip, true, true);
    mAVI::CloseAnimation();
    EXPECT_TRUE(Animations().empty());
    mAVI::OpenAnimation(host.get(), kShell, kClip, true, false);
    ASSERT_EQ(Animations().size(), 1u);
    const RECT r = RectInParent(Animations()[0]);
    const LONG w = r.right - r.left, h = r.bottom - r.top;
    EXPECT_GT(w, 0) << "the control takes the clip's frame size";
    EXPECT_LE(std::abs(r.left - (120 - w - r.left)), 1);
    EXPECT_LE(std::abs(r.top - (90 - h - r.top)), 1);
}

TEST_F(AnimationTest, CentringRoundsHalvesToEven) {
    mAVI::OpenAnimation(host.get(), kShell, kClip, false, false);
    ASSERT_NE(mAVI::AnimationWindow(), nullptr);
    const RECT r = RectInParent(mAVI::AnimationWindow());
    const LONG w = r.right - r.left, h = r.bottom - r.top;
    EXPECT_EQ(r.left, 0) << "not centred when not asked";

    struct Case {
        LONG freeWidth, freeHeight, x, y;
    };
    for (const Case c : {Case{5, 7, 2, 4}, Case{7, 5, 4, 2}, Case{6, 0, 3, 0}, Case{-5, -7, -2, -4}}) {
        SetWindowPos(host.get(), nullptr, 0, 0, w + c.freeWidth, h + c.freeHeight, SWP_NOMOVE | SWP_NOZORDER);
        mAVI::CenterAnimation(host.get());
        const RECT moved = RectInParent(mAVI::AnimationWindow());
        EXPECT_EQ(moved.left, c.x) << "free width " << c.freeWidth;
        EXPECT_EQ(moved.top, c.y) << "free height " << c.freeHeight;
        EXPECT_EQ(moved.right - moved.left, w) << "size unchanged";
        EXPECT_EQ(moved.bottom - moved.top, h);
    }
}

TEST_F(AnimationTest, MissingLibraryCreatesNothingAndCloseIsHarmless) {
    const Counts before = counts;
    mAVI::OpenAnimation(host.get(), L"no-such-clip-library.dll", kClip, true, true);
    EXPECT_TRUE(Animations().empty());
    EXPECT_EQ(mAVI::AnimationWindow(), nullptr);
    mAVI::CloseAnimation();
    EXPECT_EQ(counts.loads, before.loads + 1);
    EXPECT_EQ(counts.frees, before.frees);
    EXPECT_EQ(counts.destroys, before.destroys);
}

TEST_F(AnimationTest, ClipThatDoesNotOpenReleasesWhatTheCallAcquired) {
    Counts before = counts;
    mAVI::OpenAnimation(host.get(), kShell, 9999, true, false);
    EXPECT_TRUE(Animations().empty());
    EXPECT_EQ(counts.loads - before.loads, 1);
    EXPECT_EQ(counts.frees - before.frees, 1);
    EXPECT_EQ(counts.destroys - before.destroys, 1);

    before = counts;
    mAVI::OpenAnimation(host.get(), L"C:\\no\\such\\clip.avi", 0, true, false);
    EXPECT_TRUE(Animations().empty());
    EXPECT_EQ(counts.frees - before.frees, 0) << "a clip file loads no library";
    EXPECT_EQ(counts.destroys - before.destroys, 1);
}

TEST_F(AnimationTest, EachControlAndLibraryIsReleasedOnce) {
    mAVI::CloseAnimation();  // nothing open
    Counts before = counts;
    mAVI::CloseAnimation();
    EXPECT_EQ(counts.frees, before.frees);
    EXPECT_EQ(counts.destroys, before.destroys);

    mAVI::OpenAnimation(host.get(), kShell, kClip, true, false);
    mAVI::OpenAnimation(host.get(), kShell, kClip, true, true);
    mAVI::CloseAnimation();
    mAVI::CloseAnimation();
    EXPECT_EQ(counts.loads - before.loads, 2);
    EXPECT_EQ(counts.frees - before.frees, 2) << "every load given back once";
    EXPECT_EQ(counts.destroys - before.destroys, 2);
    EXPECT_TRUE(Animations().empty());
}

TEST_F(AnimationTest, CommonControlsAreInitialisedOncePerProcess) {
    mAVI::OpenAnimation(host.get(), kShell, kClip, true, false);
    mAVI::OpenAnimation(host.get(), kShell, kClip, true, true);
    EXPECT_EQ(counts.initsEx, 1);
    EXPECT_EQ(counts.inits, 0);

    // Without the extended entry point the plain one stands in.
    auto saved = mAVI::Platform().initCommonControlsEx;
    mAVI::Platform().initCommonControlsEx = nullptr;
    mAVI::InitComCtl(ICC_ANIMATE_CLASS);
    mAVI::Platform().initCommonControlsEx = saved;
    EXPECT_EQ(counts.inits, 1);
}

}  // namespace
}  // namespace keyscour
