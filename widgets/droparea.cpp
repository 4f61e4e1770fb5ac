#include "droparea.h"

#include <darktheme.h>
#include <settingskeys.h>

#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QSettings>
#include <QSvgRenderer>
#include <QUrl>

#include <algorithm>

namespace {

// Only a single local file is a usable drop; its extension is the owner's business.
bool carriesOneLocalFile(const QMimeData *data)
{
    if (!data || !data->hasUrls())
        return false;
    const QList<QUrl> urls = data->urls();
    return urls.size() == 1 && urls.first().isLocalFile();
}

} // namespace

DropArea::DropArea(QWidget *parent)
    : QLabel(parent, Qt::WindowFlags())
    , m_dark(isDarkTheme())
    , m_welcome(tr("Drop firmware file<br>here"))
{
    fileType = tr("DFU Files (*.dfu)");
    fileExt = QStringLiteral("dfu");

    setAlignment(Qt::AlignCenter);
    setAutoFillBackground(true);
    setFrameStyle(QFrame::NoFrame);
    setBackgroundRole(QPalette::Base);

    QFont larger = font();
    if (larger.pointSizeF() > 0)
        larger.setPointSizeF(larger.pointSizeF() + 2);
    else
        larger.setPixelSize(larger.pixelSize() + 2);
    setFont(larger);

    clear();
}

void DropArea::setWelcome(const QString &text)
{
    m_welcome = text;
    if (!m_hasFile)
        QLabel::setText(m_welcome);
}

QString DropArea::settingsKey() const
{
    return SettingsKeys::dropAreaFilePrefix + fileExt.toUpper();
}

QRect DropArea::symbolRect(const QSize &widgetSize)
{
    const int w = widgetSize.width();
    const int h = widgetSize.height();
    const int side = std::min({w / 3, h / 2, 128});
    return QRect(8, h - side - 9, side, side);
}

void DropArea::clear()
{
    m_hasFile = false;
    setAcceptDrops(true);
    QLabel::setText(m_welcome);
}

void DropArea::setText(const QString &)
{ }

void DropArea::mouseDoubleClickEvent(QMouseEvent *event)
{
    event->accept();
    QSettings settings;
    const QString remembered = settings.value(settingsKey(), QString()).toString();
    const QString file = QFileDialog::getOpenFileName(this, tr("Select DFU File"), remembered, fileType);
    if (file.isEmpty())
        return;
    settings.setValue(settingsKey(), file);
    // The state changes before the announcement, so an owner that rejects the
    // file and calls clear() from its slot leaves the area empty and open to drops.
    m_hasFile = true;
    setAcceptDrops(false);
    emit changed(file);
}

void DropArea::paintEvent(QPaintEvent *event)
{
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor::fromRgba(m_dark ? 0x80ffffffu : 0x80000000u), 1, Qt::SolidLine, Qt::RoundCap));
        painter.setBrush(QColor::fromRgba(m_dark ? 0xa0303030u : 0xa0d6d6d6u));
        painter.drawRoundedRect(QRect(1, 1, width() - 2, height() - 2), 5, 5, Qt::AbsoluteSize);

        QSvgRenderer symbol(QStringLiteral(":/images/droparea_symbol.svg"));
        symbol.render(&painter, symbolRect(size()));
    }
    QLabel::paintEvent(event);
}

void DropArea::dragEnterEvent(QDragEnterEvent *event)
{
    if (carriesOneLocalFile(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void DropArea::dragMoveEvent(QDragMoveEvent *event)
{
    event->acceptProposedAction();
}

void DropArea::dragLeaveEvent(QDragLeaveEvent *event)
{
    event->accept();
}

void DropArea::dropEvent(QDropEvent *event)
{
    if (!carriesOneLocalFile(event->mimeData()))
        return;
    const QString path = event->mimeData()->urls().first().toLocalFile();
    QSettings().setValue(settingsKey(), path);
    QLabel::setText(QFileInfo(path).fileName());
    m_hasFile = true;
    event->acceptProposedAction();
    // The program the file was dragged from waits until this handler returns; the owner's
    // questions about the file must not hold it up.
    QMetaObject::invokeMethod(
        this, [this, path] { emit changed(path); }, Qt::QueuedConnection);
}
