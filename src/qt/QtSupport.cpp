#include "qt/QtSupport.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QSvgRenderer>
#include <QUrl>

// The pictures are compiled into this library; a static library needs
// telling to keep them.
static void loadPictures() {
    Q_INIT_RESOURCE(pictures);
}

namespace pakforge::qt {

QFont pixelFont(const ui::FontSpec& spec) {
    QFont font;
    // Where the named face is missing, close relatives before the default.
    font.setFamilies(
        {toQString(spec.face), QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
    font.setPixelSize(spec.pixels);
    font.setBold(spec.bold);
    font.setUnderline(spec.underline);
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

ui::Answer showMessageBox(QWidget* parent, const QString& caption, const QString& text, ui::MessageIcon icon,
                          ui::Buttons buttons) {
    QMessageBox box(parent);
    box.setWindowTitle(caption);
    // Qt breaks lines at LF alone.
    box.setText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    box.setTextFormat(Qt::PlainText);
    static constexpr QMessageBox::Icon icons[] = {QMessageBox::Critical, QMessageBox::Information,
                                                  QMessageBox::Question};
    box.setIcon(icons[static_cast<int>(icon)]);
    box.setStandardButtons(buttons == ui::Buttons::yesNo ? QMessageBox::Yes | QMessageBox::No
                                                         : QMessageBox::Ok);
    switch (box.exec()) {
    case QMessageBox::Yes:
        return ui::Answer::yes;
    case QMessageBox::No:
        return ui::Answer::no;
    case QMessageBox::Ok:
        return ui::Answer::ok;
    default:
        return ui::Answer::none;
    }
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

namespace {

QWidget* newControl(const ui::ControlRow& row, QWidget* parent) {
    const QString text = toQString(row.text);
    switch (row.kind) {
    case ui::Kind::panel: {
        auto* panel = new QWidget(parent);
        panel->setAutoFillBackground(true);
        return panel;
    }
    case ui::Kind::picture: {
        auto* picture = new QLabel(parent);
        const QSize size(row.place.width, row.place.height);
        picture->setPixmap(svgPixmap(QString::fromLatin1(row.picture), size, parent->devicePixelRatioF()));
        return picture;
    }
    case ui::Kind::label:
        return new QLabel(text, parent);
    case ui::Kind::link:
        return new LinkLabel(text, parent);
    case ui::Kind::edit:
    case ui::Kind::readOnlyEdit: {
        auto* edit = new QLineEdit(parent);
        edit->setReadOnly(row.kind == ui::Kind::readOnlyEdit);
        return edit;
    }
    case ui::Kind::button: {
        auto* button = new QPushButton(text, parent);
        if (!row.picture.empty()) button->setIcon(svgIcon(QString::fromLatin1(row.picture)));
        return button;
    }
    case ui::Kind::list:
        return new QListWidget(parent);
    case ui::Kind::groupBox:
        break;
    }
    return new QGroupBox(text, parent);
}

bool isContainer(const ui::ControlRow& row) {
    return row.kind == ui::Kind::panel || row.kind == ui::Kind::groupBox;
}

} // namespace

QWidget* createControl(const ui::ControlRow& row, QWidget* parent) {
    QWidget* control = newControl(row, parent);
    control->setObjectName(QString::fromLatin1(row.name));
    if (row.kind != ui::Kind::panel && row.kind != ui::Kind::picture) control->setFont(pixelFont(row.font));
    QRect place(row.place.left, row.place.top, row.place.width, row.place.height);
    if (place.isEmpty()) {
        control->move(place.topLeft());
        control->adjustSize();
        return control;
    }
    // A link is at least its designed size, wider where the font is wider.
    if (row.kind == ui::Kind::link) place.setWidth(std::max(place.width(), control->sizeHint().width()));
    control->setGeometry(place);
    return control;
}

std::map<int, QWidget*> createControls(std::span<const ui::ControlRow> rows, QWidget* window,
                                       const std::function<void(const ui::ControlRow&)>& onClick) {
    std::map<int, QWidget*> controls;
    std::map<ui::Parent, QWidget*> parents{{ui::Parent::window, window}};
    for (const bool containers : {true, false}) {
        for (const ui::ControlRow& row : rows) {
            if (isContainer(row) != containers) continue;
            QWidget* control = createControl(row, parents.at(row.parent));
            controls[row.id] = control;
            if (row.kind == ui::Kind::panel) parents[ui::Parent::banner] = control;
            if (row.kind == ui::Kind::groupBox) parents[ui::Parent::group] = control;
            const auto clicked = [onClick, &row] { onClick(row); };
            if (auto* button = qobject_cast<QPushButton*>(control))
                QObject::connect(button, &QPushButton::clicked, window, clicked);
            if (auto* link = qobject_cast<LinkLabel*>(control))
                QObject::connect(link, &LinkLabel::clicked, window, clicked);
        }
    }
    QWidget* previous = nullptr;
    for (const ui::ControlRow& row : rows) {
        QWidget* control = controls[row.id];
        if (!(control->focusPolicy() & Qt::TabFocus)) continue;
        if (previous) QWidget::setTabOrder(previous, control);
        previous = control;
    }
    return controls;
}

} // namespace pakforge::qt
