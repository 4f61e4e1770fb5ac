#include "testsupport.h"

#include <darktheme.h>
#include <settingskeys.h>

#include <QPalette>
#include <QTemporaryDir>

class TestDarkTheme : public QObject
{
    Q_OBJECT

private slots:
    void registryValue_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("dark");
        QTest::newRow("0 is dark") << QVariant(0) << true;
        QTest::newRow("1 is light") << QVariant(1) << false;
        QTest::newRow("absent is light") << QVariant() << false;
    }

    void registryValue()
    {
        QFETCH(QVariant, value);
        QFETCH(bool, dark);
        QTemporaryDir dir;
        QSettings personalize(dir.filePath(QStringLiteral("personalize.ini")), QSettings::IniFormat);
        if (value.isValid())
            personalize.setValue(SettingsKeys::appsUseLightTheme, value);
        personalize.sync();
        // Read back through a fresh store, as the program does.
        const QSettings reread(personalize.fileName(), QSettings::IniFormat);
        QCOMPARE(darkThemeFromSettings(reread), dark);
    }

    void paletteDecides()
    {
        QPalette light;
        light.setColor(QPalette::Window, QColor(240, 240, 240));
        light.setColor(QPalette::WindowText, Qt::black);
        QVERIFY(!darkThemeFromPalette(light));

        QPalette dark;
        dark.setColor(QPalette::Window, QColor(40, 40, 40));
        dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
        QVERIFY(darkThemeFromPalette(dark));
    }

    void firstAnswerIsKept()
    {
        int reads = 0;
        bool systemDark = true;
        setDarkThemeProbe([&] {
            ++reads;
            return systemDark;
        });
        QVERIFY(isDarkTheme());
        systemDark = false; // the user switches the theme while the program runs
        QVERIFY(isDarkTheme());
        QCOMPARE(reads, 1);
        setDarkThemeProbe({});
    }
};

VELTRANO_TEST_MAIN(TestDarkTheme)
#include "tst_darktheme.moc"
