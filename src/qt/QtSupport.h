// Small pieces the Qt windows share: text conversion, fonts, the SVG
// pictures, the dialog filter, message boxes and the desktop's handlers.
#pragma once

#include "ui/Layout.h"
#include "ui/Toolkit.h"

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <span>
#include <string>

class QWidget;

namespace pakforge::qt {

inline QString toQString(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::u16string fromQString(const QString& text) {
    return text.toStdU16String();
}

// A font at a size in pixels at 96 dots per inch; families we name are
// tried in order and the system's sans serif after them.
QFont pixelFont(const ui::FontSpec& spec);

// One of our SVG pictures (":/pictures/NAME.svg") drawn at the size given,
// sharp at the screen's pixel ratio.
QPixmap svgPixmap(const QString& name, QSize size, qreal pixelRatio);
QIcon svgIcon(const QString& name);

// "Description|pattern|..." as QFileDialog's list of filters.
QStringList fileDialogFilters(const QString& filter);

// A modal box with the icon and its buttons; the button chosen. The text is
// plain, its lines broken with CR LF or LF.
ui::Answer showMessageBox(QWidget* parent, const QString& caption, const QString& text, ui::MessageIcon icon,
                          ui::Buttons buttons = ui::Buttons::ok);

// Opens a web address in the browser, or a file with the program the
// desktop has for its type. False when nothing takes it.
bool openWithDesktop(const QString& fileOrUrl);
// Whether the desktop has a program for this file's type.
bool desktopHasHandlerFor(const QString& file);

// A label that acts as a link: hand cursor, clicked on release.
class LinkLabel : public QLabel {
    Q_OBJECT
  public:
    explicit LinkLabel(const QString& text, QWidget* parent = nullptr);

  signals:
    void clicked();

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// A control as its row of the layout table has it: name, place, text, font
// and picture; colours and behaviour are the window's.
QWidget* createControl(const ui::ControlRow& row, QWidget* parent);
// Creates a table's controls, the banner and group box before what lies in
// them, calls onClick for a click on a row's button or link, and chains the
// tab order in table order.
std::map<int, QWidget*> createControls(std::span<const ui::ControlRow> rows, QWidget* window,
                                       const std::function<void(const ui::ControlRow&)>& onClick);

} // namespace pakforge::qt
