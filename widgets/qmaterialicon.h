#pragma once

#include <QChar>
#include <QColor>
#include <QHash>
#include <QIcon>
#include <QIconEngine>
#include <QObject>
#include <QStringList>
#include <QVector>

class QIODevice;

// Process-wide registry that turns Material Icons glyph names into icons drawn in
// any colour. It outlives the application objects of the run loop, which reload
// its font for every new application.
class QMaterialIcon : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QColor base READ base WRITE setBase)

public:
    enum Color { Base = 0, Checked = 1, Success = 2, Warning = 3, Error = 4 };
    Q_ENUM(Color)

    static QMaterialIcon *instance();

    ~QMaterialIcon() override;

    void loadFont();
    void unloadFont();

    // The glyph stored for the name, truncated to 16 bits; 0 when the list lacks it.
    QChar codepoint(const QString &name, bool *found = nullptr) const;

    // Reads a glyph list ("name hexcode" per line) into the table, adding to or
    // replacing what it already holds.
    static void parseCodepoints(QIODevice &in, QHash<QString, uint> &into);

    QColor base() const { return colors[Base]; }
    void setBase(const QColor &color) { colors[Base] = color; }

    static QIcon icon(
        const QString &onName, const QString &offName, const QColor &color, const QString &fontFamily = QString());
    static QIcon icon(const QString &name, const QColor &color = QColor(), const QString &fontFamily = QString());

    // Set on construction; the run loop reads and clears it to tell whether the
    // font was registered with the current application object.
    bool fresh = true;
    int fontId = -1;
    QStringList families;
    QHash<QString, uint> codepoints;
    QVector<QColor> colors;

private:
    QMaterialIcon();
};

// Paints one glyph of an icon font, centred, at 80 % of the requested height.
class QFontIconEngine : public QIconEngine
{
public:
    QFontIconEngine() = default;
    ~QFontIconEngine() override;

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override;
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override;
    QIconEngine *clone() const override;

    QString fontFamily;
    QChar glyphOn;
    QChar glyphOff;
    QColor color;
    QColor checkedColor;
};
