// The pictures and the icon glyph list compiled into the program.

#include "testsupport.h"

#include <qmaterialicon.h>

#include <QImageReader>
#include <QSvgRenderer>

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void pictures()
    {
        // The window icon in seven sizes from 16 to 128 pixels.
        QImageReader icon(QStringLiteral("://veltrano.ico"));
        QCOMPARE(icon.imageCount(), 7);
        QCOMPARE(icon.read().size(), QSize(16, 16));
        QCOMPARE(QSvgRenderer(QStringLiteral(":/images/droparea_symbol.svg")).defaultSize(), QSize(128, 128));
        QCOMPARE(QImage(QStringLiteral(":/dfu/dfu_images/dfu_icon.png")).size(), QSize(64, 64));
    }

    // Every line a distinct name with a code; the build makes the list from the font's own table.
    void glyphList()
    {
        QFile list(QStringLiteral(":/qtmf/src_v50/codepoints"));
        QVERIFY(list.open(QIODevice::ReadOnly));
        const int lines = list.readAll().count('\n');
        QHash<QString, uint> glyphs;
        QVERIFY(list.seek(0));
        QMaterialIcon::parseCodepoints(list, glyphs);
        QVERIFY(lines > 900 && glyphs.size() == lines && !glyphs.values().contains(0));
    }
};

VELTRANO_TEST_MAIN(TestResources)
#include "tst_resources.moc"
