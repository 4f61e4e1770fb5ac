#include "testsupport.h"

#include <qmaterialicon.h>

#include <QBuffer>
#include <QPainter>

#include <memory>

Q_DECLARE_METATYPE(QIcon::Mode)
Q_DECLARE_METATYPE(QIcon::State)

namespace {

const QColor black(0x00, 0x00, 0x00);
const QColor green(0x00, 0xff, 0x00);
const QColor red(0xff, 0x00, 0x00);
const QColor activeButtonText(0x65, 0x43, 0x21);
const QColor disabledButtonText(0x12, 0x34, 0x56);

// The glyph as the icon should look: drawn straight with the font, centred.
QImage referenceGlyph(ushort glyph, int side, int pixelSize, const QColor &color)
{
    QPixmap pix(side, side);
    pix.fill(Qt::transparent);
    QPainter painter(&pix);
    QFont font(QStringLiteral("Material Icons"));
    font.setPixelSize(pixelSize);
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(pix.rect(), Qt::AlignCenter, QString(QChar(glyph)));
    painter.end();
    return pix.toImage();
}

bool isFullyTransparent(const QImage &image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x)
            if (qAlpha(argb.pixel(x, y)) != 0)
                return false;
    return true;
}

QStringList entries(const QHash<QString, uint> &table)
{
    QStringList list;
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        list << it.key() + QLatin1Char('=') + QString::number(it.value(), 16);
    list.sort();
    return list;
}

} // namespace

class TestMaterialIcon : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void paintsGlyphInModeColour_data();
    void paintsGlyphInModeColour();
    void fontIsFourFifthsOfHeight_data();
    void fontIsFourFifthsOfHeight();
    void engineWithoutColourUsesButtonText();
    void unknownNamePaintsNothing();
    void codepointTruncatesToSixteenBits();
    void cloneCopiesEveryField();

    void parseCodepoints_data();
    void parseCodepoints();
    void reloadingKeepsAndRefreshesNames();
};

void TestMaterialIcon::initTestCase()
{
    QPalette palette = QApplication::palette();
    palette.setColor(QPalette::Active, QPalette::ButtonText, activeButtonText);
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, disabledButtonText);
    QApplication::setPalette(palette);

    QMaterialIcon *registry = QMaterialIcon::instance();
    QVERIFY(registry->fontId >= 0);
    QCOMPARE(registry->families.value(0), QStringLiteral("Material Icons"));
    QVERIFY2(!isFullyTransparent(referenceGlyph(0xe88a, 24, 19, black)), "the font does not draw the home glyph");
}

void TestMaterialIcon::paintsGlyphInModeColour_data()
{
    QTest::addColumn<QString>("onName");
    QTest::addColumn<QString>("offName");
    QTest::addColumn<QColor>("color");
    QTest::addColumn<QIcon::Mode>("mode");
    QTest::addColumn<QIcon::State>("state");
    QTest::addColumn<int>("glyph");
    QTest::addColumn<QColor>("expected");

    const QString home = QStringLiteral("home");
    const QString sync = QStringLiteral("sync");
    QTest::newRow("no colour, normal off: black")
        << home << home << QColor() << QIcon::Normal << QIcon::Off << 0xe88a << black;
    QTest::newRow("no colour, active off: black")
        << home << home << QColor() << QIcon::Active << QIcon::Off << 0xe88a << black;
    QTest::newRow("no colour, normal on: checked green")
        << home << home << QColor() << QIcon::Normal << QIcon::On << 0xe88a << green;
    QTest::newRow("no colour, active on: checked green")
        << home << home << QColor() << QIcon::Active << QIcon::On << 0xe88a << green;
    QTest::newRow("caller colour, normal off") << home << home << red << QIcon::Normal << QIcon::Off << 0xe88a << red;
    QTest::newRow("caller colour, normal on: checked green")
        << home << home << red << QIcon::Normal << QIcon::On << 0xe88a << green;
    QTest::newRow("caller colour, disabled off: palette")
        << home << home << red << QIcon::Disabled << QIcon::Off << 0xe88a << disabledButtonText;
    QTest::newRow("caller colour, disabled on: palette")
        << home << home << red << QIcon::Disabled << QIcon::On << 0xe88a << disabledButtonText;
    QTest::newRow("caller colour, selected on: palette")
        << home << home << red << QIcon::Selected << QIcon::On << 0xe88a << activeButtonText;
    QTest::newRow("two names, on: on glyph") << sync << home << red << QIcon::Normal << QIcon::On << 0xe627 << green;
    QTest::newRow("two names, off: off glyph") << sync << home << red << QIcon::Normal << QIcon::Off << 0xe88a << red;
}

void TestMaterialIcon::paintsGlyphInModeColour()
{
    QFETCH(QString, onName);
    QFETCH(QString, offName);
    QFETCH(QColor, color);
    QFETCH(QIcon::Mode, mode);
    QFETCH(QIcon::State, state);
    QFETCH(int, glyph);
    QFETCH(QColor, expected);

    const QIcon icon = QMaterialIcon::icon(onName, offName, color);
    QVERIFY(!icon.isNull());
    const QImage painted = icon.pixmap(QSize(24, 24), mode, state).toImage();
    QCOMPARE(painted, referenceGlyph(ushort(glyph), 24, 19, expected));
}

void TestMaterialIcon::fontIsFourFifthsOfHeight_data()
{
    QTest::addColumn<int>("side");
    QTest::addColumn<int>("pixelSize");

    QTest::newRow("24") << 24 << 19;
    QTest::newRow("32") << 32 << 26;
}

void TestMaterialIcon::fontIsFourFifthsOfHeight()
{
    QFETCH(int, side);
    QFETCH(int, pixelSize);

    const QImage painted = QMaterialIcon::icon(QStringLiteral("home")).pixmap(QSize(side, side)).toImage();
    QCOMPARE(painted, referenceGlyph(0xe88a, side, pixelSize, black));
    // The neighbouring sizes look different, so the comparison above pins the size.
    QVERIFY(painted != referenceGlyph(0xe88a, side, pixelSize - 1, black));
    QVERIFY(painted != referenceGlyph(0xe88a, side, pixelSize + 1, black));
}

void TestMaterialIcon::engineWithoutColourUsesButtonText()
{
    QFontIconEngine engine;
    engine.fontFamily = QStringLiteral("Material Icons");
    engine.glyphOn = engine.glyphOff = QChar(0xe88a);
    engine.checkedColor = green;

    QCOMPARE(engine.pixmap(QSize(24, 24), QIcon::Normal, QIcon::Off).toImage(),
        referenceGlyph(0xe88a, 24, 19, activeButtonText));
}

void TestMaterialIcon::unknownNamePaintsNothing()
{
    bool found = true;
    QCOMPARE(QMaterialIcon::instance()->codepoint(QStringLiteral("no_such_glyph"), &found), QChar());
    QVERIFY(!found);

    const QIcon icon = QMaterialIcon::icon(QStringLiteral("no_such_glyph"), red);
    QVERIFY(!icon.isNull());
    QVERIFY(isFullyTransparent(icon.pixmap(QSize(32, 32), QIcon::Normal, QIcon::Off).toImage()));
    QVERIFY(isFullyTransparent(icon.pixmap(QSize(32, 32), QIcon::Normal, QIcon::On).toImage()));
}

void TestMaterialIcon::codepointTruncatesToSixteenBits()
{
    QMaterialIcon *registry = QMaterialIcon::instance();
    const QString name = QStringLiteral("test_wide_glyph");
    registry->codepoints.insert(name, 0x1f600);
    bool found = false;
    const QChar glyph = registry->codepoint(name, &found);
    registry->codepoints.remove(name);

    QVERIFY(found);
    QCOMPARE(glyph.unicode(), ushort(0xf600));
    QCOMPARE(registry->codepoint(QStringLiteral("home")).unicode(), ushort(0xe88a));
}

void TestMaterialIcon::cloneCopiesEveryField()
{
    QFontIconEngine engine;
    engine.fontFamily = QStringLiteral("Some Family");
    engine.glyphOn = QChar(0xe627);
    engine.glyphOff = QChar(0xe88a);
    engine.color = red;
    engine.checkedColor = activeButtonText;

    const std::unique_ptr<QIconEngine> copy(engine.clone());
    const auto *fontCopy = dynamic_cast<QFontIconEngine *>(copy.get());
    QVERIFY(fontCopy);
    QCOMPARE(fontCopy->fontFamily, engine.fontFamily);
    QCOMPARE(fontCopy->glyphOn, engine.glyphOn);
    QCOMPARE(fontCopy->glyphOff, engine.glyphOff);
    QCOMPARE(fontCopy->color, engine.color);
    QCOMPARE(fontCopy->checkedColor, engine.checkedColor);
}

void TestMaterialIcon::parseCodepoints_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("expected");

    const QStringList none;
    QTest::newRow("name and code") << QByteArray("home e88a\nsync e627\n") << none
                                   << QStringList {"home=e88a", "sync=e627"};
    QTest::newRow("several spaces around and between")
        << QByteArray("   home     e88a   \n") << none << QStringList {"home=e88a"};
    QTest::newRow("carriage return trimmed") << QByteArray("home e88a\r\n") << none << QStringList {"home=e88a"};
    QTest::newRow("three words skipped") << QByteArray("home e88a extra\nsync e627\n") << none
                                         << QStringList {"sync=e627"};
    QTest::newRow("one word skipped") << QByteArray("home\nsync e627\n") << none << QStringList {"sync=e627"};
    QTest::newRow("empty line does not stop")
        << QByteArray("home e88a\n\nsync e627\n") << none << QStringList {"home=e88a", "sync=e627"};
    QTest::newRow("code not hexadecimal stores 0") << QByteArray("home xyz\n") << none << QStringList {"home=0"};
    QTest::newRow("later duplicate replaces")
        << QByteArray("home e88a\nhome e000\n") << none << QStringList {"home=e000"};
    QTest::newRow("line starting with NUL ends reading")
        << QByteArray("home e88a\n\0sync e627\ninfo e88e\n", 30) << none << QStringList {"home=e88a"};
    QTest::newRow("last line without newline")
        << QByteArray("home e88a\nsync e627") << none << QStringList {"home=e88a", "sync=e627"};
    QTest::newRow("adds to and replaces what is there")
        << QByteArray("home e88a\n") << QStringList {"home=1", "keep=2"} << QStringList {"home=e88a", "keep=2"};
}

void TestMaterialIcon::parseCodepoints()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, before);
    QFETCH(QStringList, expected);

    QHash<QString, uint> table;
    for (const QString &entry : before)
        table.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1).toUInt(nullptr, 16));
    QBuffer buffer(&input);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QMaterialIcon::parseCodepoints(buffer, table);
    QCOMPARE(entries(table), expected);
}

void TestMaterialIcon::reloadingKeepsAndRefreshesNames()
{
    QMaterialIcon *registry = QMaterialIcon::instance();
    const QString extra = QStringLiteral("test_extra_glyph");
    registry->codepoints.insert(extra, 0x1234);
    registry->codepoints.insert(QStringLiteral("home"), 0x1);

    registry->unloadFont();
    QCOMPARE(registry->fontId, -1);
    QCOMPARE(registry->families.value(0), QStringLiteral("Material Icons"));
    QVERIFY(QMaterialIcon::icon(QStringLiteral("home")).isNull());

    registry->loadFont();
    QVERIFY(registry->fontId >= 0);
    QCOMPARE(registry->codepoints.value(extra), 0x1234u);
    QCOMPARE(registry->codepoints.value(QStringLiteral("home")), 0xe88au);
    registry->codepoints.remove(extra);

    const QImage painted = QMaterialIcon::icon(QStringLiteral("home")).pixmap(QSize(24, 24)).toImage();
    QCOMPARE(painted, referenceGlyph(0xe88a, 24, 19, black));
}

VELTRANO_TEST_MAIN(TestMaterialIcon)
#include "tst_materialicon.moc"
