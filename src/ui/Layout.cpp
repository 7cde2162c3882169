#include "ui/Layout.h"

#include "compiler/PackageProperties.h"
#include "ui/WindowRules.h"

#include <stdexcept>
#include <vector>

namespace pakforge::ui {

namespace {

constexpr FontSpec kText{u"Tahoma", 11};
constexpr FontSpec kEdit{u"Arial", 11};
constexpr FontSpec kButton{u"Tahoma", 13};
constexpr FontSpec kBannerLink{u"Tahoma", 13, true};
constexpr FontSpec kAboutLink{u"Tahoma", 11, false, true};

std::vector<ControlRow> mainRows() {
    const ProductLabels unread;
    using M = Tmainform;
    // One row a control.
    // clang-format off
    return {
        {ids::statuslist, "statuslist", Kind::list, Parent::window, {0, 0, 590, kLogHeight}, u"", kText},
        {ids::msiedit, "msiedit", Kind::edit, Parent::window, {16, 112, 417, 22}, u"", kEdit},
        {ids::appicon, "appicon", Kind::readOnlyEdit, Parent::window, {16, 168, 417, 22}, u"", kEdit},
        {ids::exeedit, "exeedit", Kind::edit, Parent::window, {16, 224, 417, 22}, u"", kEdit},
        {ids::Button1, "Button1", Kind::button, Parent::window, {453, 270, 129, 45}, u"Build",
         {u"Tahoma", 16, true}, {}, &M::CompileClick},
        {ids::Panel1, "Panel1", Kind::panel, Parent::window, {0, 0, 590, 81}, u"", kText},
        {ids::browseico, "browseico", Kind::button, Parent::window, {453, 162, 129, 33}, u"Browse...", kButton,
         "browse", &M::Chooseicon},
        {ids::browseexe, "browseexe", Kind::button, Parent::window, {453, 218, 129, 33}, u"Browse...", kButton,
         "browse", &M::browseexeClick},
        {ids::browsemsi, "browsemsi", Kind::button, Parent::window, {453, 106, 129, 33}, u"Browse...", kButton,
         "browse", &M::OpenButtonClick},
        {ids::Image1, "Image1", Kind::picture, Parent::banner, {0, 0, 312, 81}, u"", kText, "banner"},
        {ids::Label3, "Label3", Kind::link, Parent::banner, {482, 58, 28, 16}, u"Help", kBannerLink, {},
         &M::helpbuttonClick},
        {ids::Label5, "Label5", Kind::link, Parent::banner, {535, 58, 40, 16}, u"About", kBannerLink, {},
         &M::About1Click},
        {ids::Label1, "Label1", Kind::label, Parent::window, {16, 93, 0, 0}, u"MSI File:", kText},
        {ids::Label4, "Label4", Kind::label, Parent::window, {16, 152, 0, 0}, u"Application Icon:", kText},
        {ids::Label2, "Label2", Kind::label, Parent::window, {16, 208, 0, 0}, u"EXE File:", kText},
        {ids::nameLabel, "nameLabel", Kind::label, Parent::window, {16, 260, 0, 0}, unread.nameLabel, kText},
        {ids::manufacturerLabel, "manufacturerLabel", Kind::label, Parent::window, {16, 281, 0, 0},
         unread.manufacturerLabel, kText},
        {ids::versionLabel, "versionLabel", Kind::label, Parent::window, {16, 302, 0, 0}, unread.versionLabel,
         kText},
    };
    // clang-format on
}

// Close first: the rest lies over the banner and the group box, which come last.
std::vector<ControlRow> aboutRows() {
    using A = TAboutForm;
    // One row a control.
    // clang-format off
    return {
        {ids::AboutButton1, "Button1", Kind::button, Parent::window, {389, 240, 97, 28}, u"Close", kText, {},
         nullptr, &A::Button1Click},
        {ids::AboutImage1, "Image1", Kind::picture, Parent::banner, {12, 10, 64, 64}, u"", kText, "product"},
        {ids::AboutLabel1, "Label1", Kind::label, Parent::banner, {102, 16, 0, 0}, u"Pakforge",
         {u"Arial", 24, true}},
        {ids::AboutLabel2, "Label2", Kind::label, Parent::banner, {102, 47, 0, 0},
         u"Creates EXE installers from MSI packages", kText},
        {ids::Image2, "Image2", Kind::picture, Parent::group, {26, 32, 16, 16}, u"", kText, "info"},
        {ids::Image3, "Image3", Kind::picture, Parent::group, {26, 64, 16, 16}, u"", kText, "update"},
        {ids::InfoLabel, "InfoLabel", Kind::link, Parent::group, {48, 32, 0, 0}, u"Product Information",
         kAboutLink, {}, nullptr, &A::InfoLabelClick},
        {ids::UpdateLabel, "UpdateLabel", Kind::link, Parent::group, {48, 64, 0, 0}, u"Check updates...",
         kAboutLink, {}, nullptr, &A::UpdateLabelClick},
        {ids::Label6, "Label6", Kind::label, Parent::group, {222, 32, 0, 0}, u"", kText},
        {ids::GroupBox1, "GroupBox1", Kind::groupBox, Parent::window, {13, 92, 473, 133},
         u"  Program Information  ", kText},
        {ids::AboutPanel1, "Panel1", Kind::panel, Parent::window, {0, 0, 500, 81}, u"", kText},
    };
    // clang-format on
}

} // namespace

std::span<const ControlRow> mainWindowControls() {
    static const std::vector<ControlRow> rows = mainRows();
    return rows;
}

std::span<const ControlRow> aboutWindowControls() {
    static const std::vector<ControlRow> rows = aboutRows();
    return rows;
}

const ControlRow* findControl(std::span<const ControlRow> rows, int id) {
    for (const ControlRow& row : rows)
        if (row.id == id) return &row;
    return nullptr;
}

const ControlRow& controlRow(int id) {
    for (const auto table : {mainWindowControls(), aboutWindowControls()})
        if (const ControlRow* row = findControl(table, id)) return *row;
    throw std::out_of_range("no control with this id");
}

Place parentCorner(Parent parent) {
    if (parent == Parent::group) {
        const Place& group = controlRow(ids::GroupBox1).place;
        return {group.left, group.top, 0, 0};
    }
    return {0, 0, 0, 0};
}

int scaled(int pixels96, int dotsPerInch) {
    return dotsPerInch == 96 ? pixels96 : MulDiv(pixels96, dotsPerInch, 96);
}

Place scaled(const Place& place, int dotsPerInch) {
    return {scaled(place.left, dotsPerInch), scaled(place.top, dotsPerInch), scaled(place.width, dotsPerInch),
            scaled(place.height, dotsPerInch)};
}

} // namespace pakforge::ui
