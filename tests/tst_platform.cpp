#include "testsupport.h"

#include <darktheme.h>
#include <hiddfu.h>
#include <managerwindow.h>
#include <settingskeys.h>
#include <translations.h>

#include <QPalette>

namespace {

// Its translation tells whether the program's catalogue is installed.
QString programText()
{
    return QCoreApplication::translate("DropArea", "Select DFU File");
}

QList<QTranslator *> load(const QString &language, const QString &folder = QStringLiteral("lang"))
{
    QSettings().setValue(SettingsKeys::language, language);
    return loadTranslations(folder);
}

} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void darkTheme()
    {
        // "AppsUseLightTheme": 0 is dark, 1 or absent light; read back through a fresh store.
        QTemporaryDir dir;
        for (const QVariant &value : {QVariant(0), QVariant(1), QVariant()}) {
            QSettings personalize(dir.filePath(value.toString() + QStringLiteral(".ini")), QSettings::IniFormat);
            if (value.isValid())
                personalize.setValue(SettingsKeys::appsUseLightTheme, value);
            personalize.sync();
            const QSettings reread(personalize.fileName(), QSettings::IniFormat);
            QCOMPARE(darkThemeFromSettings(reread), value.isValid() && value.toInt() == 0);
        }
        QPalette palette;
        for (const bool dark : {false, true}) {
            palette.setColor(QPalette::Window, dark ? QColor(40, 40, 40) : QColor(240, 240, 240));
            palette.setColor(QPalette::WindowText, dark ? QColor(230, 230, 230) : QColor(Qt::black));
            QCOMPARE(darkThemeFromPalette(palette), dark);
        }
        int reads = 0;
        bool systemDark = true;
        setDarkThemeProbe([&] { return ++reads, systemDark; });
        QVERIFY(isDarkTheme());
        systemDark = false; // the user switches the theme while the program runs
        QVERIFY(isDarkTheme());
        QCOMPARE(reads, 1);
        setDarkThemeProbe({});
    }

    void languages_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<bool>("framework");
        QTest::addColumn<bool>("program");
        QTest::addColumn<QString>("folder");
        QTest::newRow("ru_RU falls back to ru") << "ru_RU" << true << true << "lang";
        QTest::newRow("ru") << "ru" << true << true << "lang";
        QTest::newRow("de: framework only") << "de" << true << false << "lang";
        QTest::newRow("unknown language") << "xx_YY" << false << false << "lang";
        // An empty language code matches every catalogue with an underscore in its name.
        QTest::newRow("leading underscore") << "_xx" << false << true << "lang";
        QTest::newRow("missing folder") << "ru_RU" << true << false << "nosuchfolder";
    }

    void languages()
    {
        QFETCH(QString, language);
        QFETCH(bool, framework);
        QFETCH(bool, program);
        QFETCH(QString, folder);
        QList<QTranslator *> translators = load(language, folder);
        QCOMPARE(translators.size(), int(framework) + int(program));
        QCOMPARE(programText() != QLatin1String("Select DFU File"), program);
        if (language.startsWith(QLatin1String("ru")))
            QVERIFY(QCoreApplication::translate("QPlatformTheme", "Cancel") != QLatin1String("Cancel"));
        if (language.startsWith(QLatin1String("ru")) && program) { // windows built now show Russian
            const QTranslator *ours = translators.last();
            const QStringList russian {
                ours->translate("ManagerWindow", "Veltrano Manager"), ours->translate("HIDDfu", "Updater")};
            QVERIFY(!russian.contains(QString()));
            QCOMPARE((QStringList {ManagerWindow().windowTitle(), HIDDfu().windowTitle()}), russian);
        }
        if (program) // the program's catalogue is searched first, so it comes last
            QVERIFY(!translators.last()->isEmpty());
        unloadTranslations(translators);
        QVERIFY(translators.isEmpty());
        QCOMPARE(programText(), QStringLiteral("Select DFU File"));
    }

    void emptyLanguageMeansSystemLocale()
    {
        QList<QTranslator *> fromEmpty = load(QString());
        const int count = fromEmpty.size();
        unloadTranslations(fromEmpty);
        QList<QTranslator *> fromSystem = load(QLocale::system().name());
        QCOMPARE(fromSystem.size(), count);
        unloadTranslations(fromSystem);
    }

    // Nothing unfinished, vanished, obsolete or empty: the windows would show English or a stale text.
    void sourceCatalogueIsComplete()
    {
        QFile file(QStringLiteral(VELTRANO_TS));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
        QXmlStreamReader xml(&file);
        QSet<QString> contexts;
        int translations = 0;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("name")) {
                contexts << xml.readElementText();
            } else if (xml.name() == QLatin1String("translation")) {
                const QString line = QString::number(xml.lineNumber());
                QVERIFY2(xml.attributes().value(QLatin1String("type")).isEmpty(), qPrintable(line));
                QVERIFY2(!xml.readElementText().isEmpty(), qPrintable(line));
                ++translations;
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QVERIFY(translations > 100);
        for (const char *name : {"ManagerWindow", "HIDDfu", "CanWorker", "hiddfu_worker", "ELMParams", "DropArea",
                 "LaunchDialog", "ECUFileListModel", "Updater"})
            QVERIFY2(contexts.contains(QLatin1String(name)), name);
    }
};

VELTRANO_TEST_MAIN(TestPlatform)
#include "tst_platform.moc"
