#include "testsupport.h"

#include <qmaterialicon.h>

#include <QBuffer>
#include <QPainter>

#include <tuple>

namespace {

const QColor black(Qt::black), green(Qt::green), red(Qt::red);
// Palette colours of the test run, unlike any the icons use of their own.
const QColor activeButtonText(0x65, 0x43, 0x21), disabledButtonText(0x12, 0x34, 0x56);
constexpr ushort home = 0xe88a;

// The glyph as the icon should look: drawn straight with the font, centred; nothing for glyph 0.
QImage reference(ushort glyph, const QColor &color, QSize size = {24, 24}, int pixelSize = 19)
{
    QPixmap pix(size);
    pix.fill(Qt::transparent);
    QPainter painter(&pix);
    QFont font(QStringLiteral("Material Icons"));
    font.setPixelSize(pixelSize);
    painter.setFont(font);
    painter.setPen(color);
    if (glyph)
        painter.drawText(pix.rect(), Qt::AlignCenter, QString(QChar(glyph)));
    painter.end();
    return pix.toImage();
}

} // namespace

class TestMaterialIcon : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QPalette palette = QApplication::palette();
        palette.setColor(QPalette::Active, QPalette::ButtonText, activeButtonText);
        palette.setColor(QPalette::Disabled, QPalette::ButtonText, disabledButtonText);
        QApplication::setPalette(palette);
        QVERIFY2(reference(home, black) != reference(0, black), "the font does not draw the home glyph");
    }

    // The off name is home. Checked shows the on glyph in green; disabled and selected take the
    // palette; an unknown name draws nothing.
    void paintsGlyphInModeColour()
    {
        using I = QIcon;
        using Row = std::tuple<const char *, QColor, I::Mode, I::State, ushort, QColor>;
        for (const auto &[onName, color, mode, state, glyph, expected] : std::initializer_list<Row> {
                 {"home", QColor(), I::Normal, I::Off, home, black}, {"home", QColor(), I::Active, I::On, home, green},
                 {"home", red, I::Disabled, I::On, home, disabledButtonText},
                 {"home", red, I::Selected, I::On, home, activeButtonText},
                 {"sync", red, I::Normal, I::On, 0xe627, green}, {"sync", red, I::Normal, I::Off, home, red},
                 {"no_such", red, I::Normal, I::On, 0, red}}) {
            const QIcon icon = QMaterialIcon::icon(QLatin1String(onName), QStringLiteral("home"), color);
            QVERIFY2(icon.pixmap(QSize(24, 24), mode, state).toImage() == reference(glyph, expected), onName);
        }
    }

    // Rounded down, from the height alone. The neighbouring sizes look different, so the
    // comparison pins the size.
    void fontIsFourFifthsOfHeight()
    {
        for (const auto &[size, pixelSize] :
            {std::pair {QSize(24, 24), 19}, {QSize(32, 32), 26}, {QSize(48, 24), 19}, {QSize(24, 40), 32}}) {
            const QImage painted = QMaterialIcon::icon(QStringLiteral("home")).pixmap(size).toImage();
            QCOMPARE(painted, reference(home, black, size, pixelSize));
            QVERIFY(painted != reference(home, black, size, pixelSize - 1));
            QVERIFY(painted != reference(home, black, size, pixelSize + 1));
        }
    }

    void parseCodepoints_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("expected");
        // The table already holds home = 1: lines read replace it, lines skipped leave it.
        QTest::newRow("name and code") << QByteArray("home e88a\nsync e627\n") << "home=e88a sync=e627";
        QTest::newRow("several spaces around and between") << QByteArray("   home     e88a   \n") << "home=e88a";
        QTest::newRow("three words skipped") << QByteArray("home e88a extra\nsync e627\n") << "home=1 sync=e627";
        QTest::newRow("one word skipped") << QByteArray("home\nsync e627\n") << "home=1 sync=e627";
        QTest::newRow("empty line does not stop") << QByteArray("home e88a\n\nsync e627\n") << "home=e88a sync=e627";
        QTest::newRow("code not hexadecimal stores 0") << QByteArray("home xyz\n") << "home=0";
        QTest::newRow("line starting with NUL ends reading")
            << QByteArray("home e88a\n\0sync e627\ninfo e88e\n", 30) << "home=e88a";
        QTest::newRow("last line without newline") << QByteArray("home e88a\nsync e627") << "home=e88a sync=e627";
    }

    void parseCodepoints()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, expected);
        QHash<QString, uint> table {{QStringLiteral("home"), 1}};
        QBuffer buffer(&input);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        QMaterialIcon::parseCodepoints(buffer, table);
        QStringList entries;
        for (auto it = table.cbegin(); it != table.cend(); ++it)
            entries << it.key() + QLatin1Char('=') + QString::number(it.value(), 16);
        entries.sort();
        QCOMPARE(entries.join(QLatin1Char(' ')), expected);
    }

    // The run loop reloads the font for each new application object; the names stay.
    void reloadingKeepsAndRefreshesNames()
    {
        QMaterialIcon *registry = QMaterialIcon::instance();
        registry->codepoints.insert(QStringLiteral("test_extra_glyph"), 0x1234);
        registry->codepoints.insert(QStringLiteral("home"), 0x1);
        registry->unloadFont();
        QVERIFY(QMaterialIcon::icon(QStringLiteral("home")).isNull());

        registry->loadFont();
        QVERIFY(registry->fontId >= 0);
        QCOMPARE(registry->codepoints.take(QStringLiteral("test_extra_glyph")), 0x1234u);
        bool found = true;
        QVERIFY(registry->codepoint(QStringLiteral("no_such_glyph"), &found).isNull() && !found);
        QCOMPARE(QMaterialIcon::icon(QStringLiteral("home")).pixmap(QSize(24, 24)).toImage(), reference(home, black));
    }
};

VELTRANO_TEST_MAIN(TestMaterialIcon)
#include "tst_materialicon.moc"
