#include "testsupport.h"

#include <qmaterialicon.h>

#include <QFontDatabase>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QSvgRenderer>
#include <QTranslator>

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void windowIcon()
    {
        QImageReader reader(QStringLiteral("://veltrano.ico"));
        QVERIFY2(reader.canRead(), qPrintable(reader.errorString()));
        QCOMPARE(reader.imageCount(), 7);
        QList<int> sizes;
        for (int i = 0; i < reader.imageCount(); ++i) {
            QVERIFY(reader.jumpToImage(i));
            const QImage image = reader.read();
            QVERIFY(!image.isNull());
            QCOMPARE(image.width(), image.height());
            QVERIFY(image.hasAlphaChannel());
            sizes << image.width();
        }
        std::sort(sizes.begin(), sizes.end());
        QCOMPARE(sizes.first(), 16);
        QCOMPARE(sizes.last(), 128);
        QVERIFY(!QIcon(QStringLiteral("://veltrano.ico")).isNull());
    }

    void dropAreaSymbol()
    {
        QSvgRenderer symbol(QStringLiteral(":/images/droparea_symbol.svg"));
        QVERIFY(symbol.isValid());
        QCOMPARE(symbol.defaultSize(), QSize(128, 128));
    }

    void updaterWindowIcon()
    {
        const QImage icon(QStringLiteral(":/dfu/dfu_images/dfu_icon.png"));
        QCOMPARE(icon.size(), QSize(64, 64));
        QVERIFY(icon.hasAlphaChannel());
    }

    void iconFont()
    {
        const int id = QFontDatabase::addApplicationFont(QStringLiteral(":/qtmf/src_v50/MaterialIcons-Regular.ttf"));
        QVERIFY(id >= 0);
        QVERIFY(QFontDatabase::applicationFontFamilies(id).contains(QStringLiteral("Material Icons")));
        QFontDatabase::removeApplicationFont(id);
    }

    void glyphList()
    {
        QFile list(QStringLiteral(":/qtmf/src_v50/codepoints"));
        QVERIFY(list.open(QIODevice::ReadOnly));
        QSet<QString> names;
        int lines = 0;
        while (!list.atEnd()) {
            const QString line = QString::fromLatin1(list.readLine()).trimmed();
            const QStringList parts = line.split(QLatin1Char(' '));
            QCOMPARE(parts.size(), 2);
            bool hex = false;
            parts[1].toUInt(&hex, 16);
            QVERIFY2(hex, qPrintable(line));
            names.insert(parts[0]);
            ++lines;
        }
        QVERIFY(lines > 900);
        QCOMPARE(names.size(), lines);
    }

    void glyphsTheWindowsUse()
    {
        const QStringList used {QStringLiteral("exit_to_app"), QStringLiteral("autorenew"), QStringLiteral("info"),
            QStringLiteral("home"), QStringLiteral("view_headline"), QStringLiteral("sync"), QStringLiteral("memory"),
            QStringLiteral("sd_card"), QStringLiteral("launch")};
        for (const QString &name : used) {
            bool found = false;
            QMaterialIcon::instance()->codepoint(name, &found);
            QVERIFY2(found, qPrintable(name));
        }
        QCOMPARE(QMaterialIcon::instance()->codepoint(QStringLiteral("home")), QChar(0xe88a));
    }

    void russianCatalogue()
    {
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(":/lang/veltrano_ru.qm")));
        QVERIFY(!translator.translate("DropArea", "Select DFU File").isEmpty());
    }
};

VELTRANO_TEST_MAIN(TestResources)
#include "tst_resources.moc"
