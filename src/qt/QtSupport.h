// Small pieces the Qt windows share: text conversion, fonts, the SVG
// pictures, the dialog filter, message boxes and the desktop's handlers.
#pragma once

#include "ui/View.h"

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QString>
#include <QStringList>

#include <functional>
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
QFont pixelFont(const QString& family, int pixels, bool bold = false);

// One of our SVG pictures (":/pictures/NAME.svg") drawn at the size given,
// sharp at the screen's pixel ratio.
QPixmap svgPixmap(const QString& name, QSize size, qreal pixelRatio);
QIcon svgIcon(const QString& name);

// "Description|pattern|..." as QFileDialog's list of filters.
QStringList fileDialogFilters(const QString& filter);

// A modal box with the icon and one OK button, or Yes and No for a question.
void showMessageBox(QWidget* parent, const QString& caption, const QString& text, ui::MessageIcon icon);

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

// Runs a handler under the application's top-level rule: whatever it throws
// is shown in a box captioned "Pakforge", and the window goes on.
void runHandler(ui::View& view, const std::function<void()>& handler);

} // namespace pakforge::qt
