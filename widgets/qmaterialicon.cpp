#include "qmaterialicon.h"

#include <QApplication>
#include <QFile>
#include <QFontDatabase>
#include <QPainter>
#include <QPalette>

#include <cmath>

namespace {

const QString fontResource = QStringLiteral(":/qtmf/src_v50/MaterialIcons-Regular.ttf");
const QString codepointsResource = QStringLiteral(":/qtmf/src_v50/codepoints");

} // namespace

QMaterialIcon *QMaterialIcon::instance()
{
    static QMaterialIcon registry;
    return &registry;
}

QMaterialIcon::QMaterialIcon()
    : QObject(nullptr)
    , colors {QColor(0x00, 0x00, 0x00), QColor(0x00, 0xff, 0x00), QColor(0x00, 0xff, 0x00), QColor(0x80, 0x80, 0x00),
          QColor(0xff, 0x00, 0x00)}
{
    loadFont();
}

QMaterialIcon::~QMaterialIcon()
{
    unloadFont();
}

void QMaterialIcon::loadFont()
{
    // The font database needs the platform integration of a GUI application;
    // without one there is nothing to register the font with.
    if (!QGuiApplication::instance()) {
        fontId = -1;
        return;
    }
    fontId = QFontDatabase::addApplicationFont(fontResource);
    if (fontId < 0)
        return;
    families = QFontDatabase::applicationFontFamilies(fontId);

    QFile list(codepointsResource);
    if (!list.open(QIODevice::ReadOnly))
        return;
    parseCodepoints(list, codepoints);
    list.close();
}

void QMaterialIcon::unloadFont()
{
    if (fontId < 0)
        return;
    // The registry is a function-local static, destroyed at process exit after the
    // last application object; removing the font then would reach into the gone
    // platform integration and crash. The font database goes with the process anyway.
    if (QGuiApplication::instance())
        QFontDatabase::removeApplicationFont(fontId);
    fontId = -1;
}

void QMaterialIcon::parseCodepoints(QIODevice &in, QHash<QString, uint> &into)
{
    for (;;) {
        const QByteArray line = in.readLine();
        if (line.isEmpty() || line.at(0) == '\0')
            break;
        const QStringList parts = QString::fromLatin1(line).trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (parts.size() != 2)
            continue;
        // A code that is not hexadecimal parses as 0, the glyph that draws nothing.
        into.insert(parts.at(0), parts.at(1).toUInt(nullptr, 16));
    }
}

QChar QMaterialIcon::codepoint(const QString &name, bool *found) const
{
    const auto it = codepoints.constFind(name);
    const bool known = it != codepoints.constEnd();
    if (found)
        *found = known;
    return known ? QChar(static_cast<ushort>(it.value() & 0xffffu)) : QChar();
}

QIcon QMaterialIcon::icon(const QString &onName, const QString &offName, const QColor &color, const QString &fontFamily)
{
    const QMaterialIcon *registry = instance();
    if (registry->fontId < 0)
        return QIcon();

    auto *engine = new QFontIconEngine;
    engine->fontFamily = fontFamily.isEmpty() ? registry->families.value(0) : fontFamily;
    engine->glyphOn = registry->codepoint(onName);
    engine->glyphOff = registry->codepoint(offName);
    engine->color = color.isValid() ? color : registry->colors.at(Base);
    engine->checkedColor = registry->colors.at(Checked);
    return QIcon(engine);
}

QIcon QMaterialIcon::icon(const QString &name, const QColor &color, const QString &fontFamily)
{
    return icon(name, name, color, fontFamily);
}

QFontIconEngine::~QFontIconEngine() = default;

void QFontIconEngine::paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state)
{
    // Character 0 stands for a name the glyph list lacks; drawn as text it would
    // come out as the fallback font's empty box.
    const QChar glyph = state == QIcon::On ? glyphOn : glyphOff;
    const int pixelSize = static_cast<int>(std::lround(0.8 * rect.height()));
    if (glyph.isNull() || pixelSize <= 0)
        return;
    QFont font(fontFamily);
    font.setPixelSize(pixelSize);

    const QPalette palette = QApplication::palette("QWidget");
    QColor c = color.isValid() ? color : palette.color(QPalette::Active, QPalette::ButtonText);
    switch (mode) {
    case QIcon::Disabled:
        c = palette.color(QPalette::Disabled, QPalette::ButtonText);
        break;
    case QIcon::Selected:
        c = palette.color(QPalette::Active, QPalette::ButtonText);
        break;
    case QIcon::Normal:
    case QIcon::Active:
        if (state == QIcon::On && checkedColor.isValid())
            c = checkedColor;
        break;
    }

    painter->save();
    painter->setPen(c);
    painter->setFont(font);
    painter->drawText(rect, Qt::AlignCenter, QString(glyph));
    painter->restore();
}

QPixmap QFontIconEngine::pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state)
{
    QPixmap pix(size);
    if (pix.isNull())
        return pix;
    pix.fill(Qt::transparent);
    QPainter painter(&pix);
    paint(&painter, QRect(QPoint(0, 0), size), mode, state);
    return pix;
}

QIconEngine *QFontIconEngine::clone() const
{
    auto *copy = new QFontIconEngine;
    copy->fontFamily = fontFamily;
    copy->glyphOn = glyphOn;
    copy->glyphOff = glyphOff;
    copy->color = color;
    copy->checkedColor = checkedColor;
    return copy;
}
