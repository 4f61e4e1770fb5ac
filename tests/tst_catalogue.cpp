// The Russian catalogue: complete for every context of the program, and picked up by the
// windows when they are built.

#include "testsupport.h"

#include <hiddfu.h>
#include <managerwindow.h>
#include <settingskeys.h>
#include <translations.h>

#include <QTranslator>
#include <QXmlStreamReader>

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
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

    void windowsBuiltUnderRussianShowRussian()
    {
        QTranslator catalogue;
        QVERIFY(catalogue.load(QStringLiteral(":/lang/veltrano_ru.qm")));
        QSettings().setValue(SettingsKeys::language, QStringLiteral("ru_RU"));
        QList<QTranslator *> translators = loadTranslations(QStringLiteral("lang"));
        const QStringList russian {
            catalogue.translate("ManagerWindow", "Veltrano Manager"), catalogue.translate("HIDDfu", "Updater")};
        QVERIFY(!russian.contains(QString()));
        QCOMPARE((QStringList {ManagerWindow().windowTitle(), HIDDfu().windowTitle()}), russian);
        unloadTranslations(translators);
        QSettings().remove(SettingsKeys::language);
    }
};

VELTRANO_TEST_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
