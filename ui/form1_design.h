#pragma once
// The stored design of the main window: every control with its type,
// container, place and size in twips, tab order, stored text and look.
// The table is in tab order, which is also the order of creation.

#include <array>
#include <cstdint>

namespace keyscour::design {

// Control identifiers, also the dialog item ids that tests address.
enum ControlId : int {
    kFrame1 = 1001,
    kCombo1,
    kText2,
    kLabel1_1,
    kLabel1_2,
    kLabel2,
    kLabel3,
    kTxtReplace,
    kCommand2,
    kLabel4,
    kCommand3,
    kListView1,
    kPicture1,
    kCommand1,
    kFrame2,
    kCheck4,
    kText1,
    kLabel1_0,
    kLabel5,
    kLabel6,
};

// What each control is for, beside the name the design gives it.
inline constexpr ControlId kSearchTextBox = kText1;
inline constexpr ControlId kWholeTextCheck = kCheck4;
inline constexpr ControlId kRootKeyBox = kCombo1;
inline constexpr ControlId kSubKeyBox = kText2;
inline constexpr ControlId kStartStopButton = kCommand1;
inline constexpr ControlId kBusyPicture = kPicture1;
inline constexpr ControlId kReplacementBox = kTxtReplace;
inline constexpr ControlId kReplaceAllButton = kCommand2;
inline constexpr ControlId kReplaceSelectedButton = kCommand3;
inline constexpr ControlId kResultList = kListView1;

enum class Kind { kFrame, kComboBox, kTextBox, kLabel, kButton, kListView, kPictureBox, kCheckBox };
enum class Font { kDefault, kBold, kLarge };
enum class Ink { kDefault, kWindowText, kGrey };

struct Control {
    ControlId id;
    Kind kind;
    ControlId container;  // 0: the window's client area
    int left, top, width, height;
    const wchar_t* text;
    Font font = Font::kDefault;
    Ink ink = Ink::kDefault;
    bool hidden = false;
};

inline constexpr ControlId kWindow = static_cast<ControlId>(0);

inline constexpr int kClientWidth = 10245;
inline constexpr int kClientHeight = 6045;
inline constexpr int kPictureWidthPixels = 683;
inline constexpr int kPictureHeightPixels = 544;
inline constexpr int kListTop = 3120;
inline constexpr std::uint32_t kWhite = 0x00FFFFFF;
inline constexpr std::uint32_t kGrey = 0x00808080;

inline constexpr std::array<Control, 20> kControls{{
    {kFrame1, Kind::kFrame, kWindow, 120, 1320, 6495, 1635, L""},
    {kCombo1, Kind::kComboBox, kFrame1, 1260, 360, 2595, 315, L""},
    {kText2, Kind::kTextBox, kFrame1, 1260, 900, 2595, 315, L"Text2"},
    {kLabel1_1, Kind::kLabel, kFrame1, 120, 360, 1095, 315, L"Label1"},
    {kLabel1_2, Kind::kLabel, kFrame1, 120, 840, 1095, 495, L"Label1"},
    {kLabel2, Kind::kLabel, kWindow, 6720, 1320, 1395, 255, L"Label2", Font::kBold},
    {kLabel3, Kind::kLabel, kWindow, 6720, 1560, 3555, 435, L"Label3", Font::kDefault, Ink::kWindowText},
    {kTxtReplace, Kind::kTextBox, kWindow, 6720, 2280, 3495, 285, L""},
    {kCommand2, Kind::kButton, kWindow, 8880, 2640, 1335, 255, L"Replace All"},
    {kLabel4, Kind::kLabel, kWindow, 6720, 2040, 3015, 255, L"Replace Registry Value with:", Font::kBold},
    {kCommand3, Kind::kButton, kWindow, 6720, 2640, 1455, 255, L"Replace Selected"},
    {kListView1, Kind::kListView, kWindow, 0, kListTop, 7455, 1335, L"", Font::kDefault, Ink::kWindowText, true},
    {kPicture1, Kind::kPictureBox, kFrame1, 5160, 1080, 315, 435, L"", Font::kDefault, Ink::kDefault, true},
    {kCommand1, Kind::kButton, kFrame1, 4440, 240, 1755, 435, L"Command1"},
    {kFrame2, Kind::kFrame, kWindow, 120, 120, 3855, 1095, L""},
    {kCheck4, Kind::kCheckBox, kFrame2, 240, 720, 2235, 315, L"Check4", Font::kDefault, Ink::kWindowText},
    {kText1, Kind::kTextBox, kFrame2, 240, 360, 2475, 315, L"Text1"},
    {kLabel1_0, Kind::kLabel, kFrame2, 240, 120, 1215, 315, L"Label1", Font::kBold},
    {kLabel5, Kind::kLabel, kWindow, 6840, 240, 3255, 615, L""},
    {kLabel6, Kind::kLabel, kWindow, 5280, 240, 1455, 975, nullptr, Font::kLarge, Ink::kGrey, true},
}};

// The result list's columns and their widths before the first resize.
struct Column {
    const wchar_t* caption;
    int width;
};
inline constexpr std::array<Column, 3> kColumns{{{L"Root Key", 1440}, {L"Sub Key", 4000}, {L"Value", 1440}}};

inline constexpr const Control& Find(ControlId id) {
    for (const auto& control : kControls)
        if (control.id == id) return control;
    return kControls[0];
}

// Left and top in the window's client area: frames hold their controls.
inline constexpr int AbsoluteLeft(const Control& c) {
    return c.container == kWindow ? c.left : Find(c.container).left + c.left;
}
inline constexpr int AbsoluteTop(const Control& c) {
    return c.container == kWindow ? c.top : Find(c.container).top + c.top;
}

}  // namespace keyscour::design
