#include "testsupport.h"

#include <settingskeys.h>
#include <translations.h>

#include <QLocale>
#include <QTranslator>

// Texts whose translation tells which catalogue is installed.
static QString programText()
{
    return QCoreApplication::translate("DropArea", "Select DFU File");
}
static QString frameworkText()
{
    return QCoreApplication::translate("QPlatformTheme", "Cancel");
}

class TestTranslations : public QObject
{
    Q_OBJECT

private slots:
    void languages_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<bool>("framework");
        QTest::addColumn<bool>("program");
        QTest::newRow("ru_RU falls back to the ru catalogues") << "ru_RU" << true << true;
        QTest::newRow("ru") << "ru" << true << true;
        QTest::newRow("de: framework only") << "de" << true << false;
        QTest::newRow("unknown language: nothing") << "xx_YY" << false << false;
        // An empty language code matches every catalogue with an underscore in its name.
        QTest::newRow("leading underscore") << "_xx" << false << true;
    }

    void languages()
    {
        QFETCH(QString, language);
        QFETCH(bool, framework);
        QFETCH(bool, program);
        QSettings().setValue(SettingsKeys::language, language);

        QList<QTranslator *> translators = loadTranslations(QStringLiteral("lang"));
        QCOMPARE(translators.size(), int(framework) + int(program));
        QCOMPARE(programText() != QLatin1String("Select DFU File"), program);
        if (language.startsWith(QLatin1String("ru")))
            QVERIFY(frameworkText() != QLatin1String("Cancel"));
        if (program) // the program's catalogue is searched first, so it comes last
            QVERIFY(!translators.last()->isEmpty());

        unloadTranslations(translators);
        QVERIFY(translators.isEmpty());
        QCOMPARE(programText(), QStringLiteral("Select DFU File"));
    }

    void emptyLanguageMeansSystemLocale()
    {
        QSettings().setValue(SettingsKeys::language, QStringLiteral("ru"));
        QSettings().setValue(SettingsKeys::language, QString());
        QList<QTranslator *> fromEmpty = loadTranslations(QStringLiteral("lang"));
        const int emptyCount = fromEmpty.size();
        unloadTranslations(fromEmpty);

        QSettings().setValue(SettingsKeys::language, QLocale::system().name());
        QList<QTranslator *> fromSystem = loadTranslations(QStringLiteral("lang"));
        QCOMPARE(emptyCount, fromSystem.size());
        unloadTranslations(fromSystem);
    }

    void missingFolderLoadsNothingOfOurs()
    {
        QSettings().setValue(SettingsKeys::language, QStringLiteral("ru_RU"));
        QList<QTranslator *> translators = loadTranslations(QStringLiteral("nosuchfolder"));
        QCOMPARE(translators.size(), 1); // the framework's catalogue only
        QCOMPARE(programText(), QStringLiteral("Select DFU File"));
        unloadTranslations(translators);
    }
};

VELTRANO_TEST_MAIN(TestTranslations)
#include "tst_translations.moc"
