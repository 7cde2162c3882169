#include "qt/QtSupport.h"

#include "ui/WindowRules.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QSvgRenderer>
#include <QUrl>

// The pictures are compiled into this library; a static library needs
// telling to keep them.
static void loadPictures() {
    Q_INIT_RESOURCE(pictures);
}

namespace pakforge::qt {

QFont pixelFont(const QString& family, int pixels, bool bold) {
    QFont font;
    // Where the named face is missing, close relatives before the default.
    font.setFamilies({family, QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

QPixmap svgPixmap(const QString& name, QSize size, qreal pixelRatio) {
    static const bool loaded = (loadPictures(), true);
    (void)loaded;
    QSvgRenderer renderer(QStringLiteral(":/pictures/%1.svg").arg(name));
    QPixmap pixmap(size * pixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(pixelRatio);
    return pixmap;
}

QIcon svgIcon(const QString& name) {
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(svgPixmap(name, QSize(side, side), 1.0));
    return icon;
}

QStringList fileDialogFilters(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& description = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' '));
        // A description that already shows its patterns in brackets is
        // what the dialog reads them from.
        if (description.contains(QLatin1Char('(') + patterns + QLatin1Char(')')))
            filters << description;
        else
            filters << description + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return filters;
}

void showMessageBox(QWidget* parent, const QString& caption, const QString& text, ui::MessageIcon icon) {
    QMessageBox box(parent);
    box.setWindowTitle(caption);
    box.setText(text);
    switch (icon) {
    case ui::MessageIcon::Error:
        box.setIcon(QMessageBox::Critical);
        break;
    case ui::MessageIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case ui::MessageIcon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

bool desktopHasHandlerFor(const QString& file) {
    const QMimeType type = QMimeDatabase().mimeTypeForFile(file);
    const QString query = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (query.isEmpty()) {
        // Without the desktop's own answer, count on a browser for web pages
        // only.
        return type.inherits(QStringLiteral("text/html"));
    }
    QProcess process;
    process.start(query, {QStringLiteral("query"), QStringLiteral("default"), type.name()});
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitCode() == 0 && !process.readAllStandardOutput().trimmed().isEmpty();
}

bool openWithDesktop(const QString& fileOrUrl) {
    const QUrl url =
        fileOrUrl.contains(QStringLiteral("://")) ? QUrl(fileOrUrl) : QUrl::fromLocalFile(fileOrUrl);
    if (url.isLocalFile() && !desktopHasHandlerFor(url.toLocalFile())) return false;
    return QDesktopServices::openUrl(url);
}

LinkLabel::LinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setCursor(Qt::PointingHandCursor);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
    QLabel::mouseReleaseEvent(event);
}

void runHandler(ui::View& view, const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        ui::showException(view, std::current_exception());
    }
}

} // namespace pakforge::qt
