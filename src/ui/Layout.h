// The two windows as designed: every control's place (pixels at 96 dots per
// inch), text and font, and what a click on it runs. Both views create their
// controls from these rows, in this order, which is also the tab order of
// those that take the focus. Colours and pictures' pixels stay the views'.
#pragma once

#include "ui/AboutForm.h"
#include "ui/MainForm.h"

#include <span>
#include <string>
#include <string_view>

namespace pakforge::ui {

// Control ids, named after the controls.
namespace ids {
enum : int {
    Panel1 = 100,
    Image1,
    Label3,
    Label5,
    Label1,
    msiedit,
    browsemsi,
    Label4,
    appicon,
    browseico,
    Label2,
    exeedit,
    browseexe,
    nameLabel,
    manufacturerLabel,
    versionLabel,
    Button1,
    statuslist,
    AboutPanel1 = 200,
    AboutImage1,
    AboutLabel1,
    AboutLabel2,
    GroupBox1,
    Image2,
    InfoLabel,
    Image3,
    UpdateLabel,
    Label6,
    AboutButton1,
};
} // namespace ids

// Left, top, width, height; a label's size follows its text (0 here).
struct Place {
    int left, top, width, height;
};

struct FontSpec {
    std::u16string_view face;
    int pixels;
    bool bold = false;
    bool underline = false;
};

enum class Kind { panel, picture, label, link, edit, readOnlyEdit, button, list, groupBox };
// Controls in the banner or the group box are placed from its corner.
enum class Parent { window, banner, group };

struct ControlRow {
    int id;
    std::string_view name;
    Kind kind;
    Parent parent;
    Place place;
    std::u16string text;
    FontSpec font;
    // A picture's SVG name, or a button's glyph; empty for none.
    std::string_view picture = {};
    void (Tmainform::*onMain)() = nullptr;
    void (TAboutForm::*onAbout)() = nullptr;
};

// A window's caption and client area.
struct WindowSpec {
    std::u16string_view caption;
    int width, height;
};

inline constexpr WindowSpec kMainWindow{u"Pakforge", 590, 402};
inline constexpr WindowSpec kAboutWindow{u"About Pakforge", 500, 277};
// The log above the status bar, its two panels and the Browse... glyph, at
// 96 dots per inch; the status bar, panels and glyph follow the density.
inline constexpr int kLogHeight = 49;
inline constexpr int kLogItemHeight = 13;
inline constexpr int kStatusBarHeight = 19;
inline constexpr int kStatusPanelWidths[2] = {300, 100};
inline constexpr int kGlyphSize = 24;

std::span<const ControlRow> mainWindowControls();
std::span<const ControlRow> aboutWindowControls();
const ControlRow& controlRow(int id);
// Null when no row has this id.
const ControlRow* findControl(std::span<const ControlRow> rows, int id);
// The group box's corner in its window, for controls placed from it.
Place parentCorner(Parent parent);

// A length at 96 dots per inch at another density, and a place likewise.
int scaled(int pixels96, int dotsPerInch);
Place scaled(const Place& place96, int dotsPerInch);

} // namespace pakforge::ui
