// The Russian catalogue: the compiled one carries every context of the program, the source
// one has nothing left half-done, and the windows pick the translations up when built.

#include "testsupport.h"

#include <hiddfu.h>
#include <managerwindow.h>
#include <settingskeys.h>
#include <translations.h>

#include <QFile>
#include <QMenu>
#include <QToolButton>
#include <QTranslator>
#include <QXmlStreamReader>

namespace {

const QString compiledCatalogue = QStringLiteral(":/lang/veltrano_ru.qm");

struct Message
{
    QString context;
    QString source;
    QString translation;
    QString type; // "unfinished", "vanished", "obsolete", or empty when done
    qint64 line = 0;
};

// Reads every message of a Qt Linguist source catalogue; an unreadable or malformed file
// yields no messages and an error text.
QList<Message> readTs(const QString &path, QString *error)
{
    QList<Message> messages;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return messages;
    }
    QXmlStreamReader xml(&file);
    QString context;
    Message message;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        const QStringRef name = xml.name();
        if (name == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (name == QLatin1String("message")) {
            message = Message();
            message.context = context;
            message.line = xml.lineNumber();
        } else if (name == QLatin1String("source")) {
            message.source = xml.readElementText();
        } else if (name == QLatin1String("translation")) {
            message.type = xml.attributes().value(QLatin1String("type")).toString();
            message.translation = xml.readElementText();
            messages << message;
        }
    }
    if (xml.hasError()) {
        *error = xml.errorString();
        messages.clear();
    }
    return messages;
}

template<typename T> T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void compiledCatalogueCoversEveryContext_data()
    {
        QTest::addColumn<QString>("context");
        QTest::addColumn<QString>("source");
        QTest::newRow("ManagerWindow title") << "ManagerWindow"
                                             << "Veltrano Manager";
        QTest::newRow("ManagerWindow menu") << "ManagerWindow"
                                            << "File";
        QTest::newRow("HIDDfu title") << "HIDDfu"
                                      << "Updater";
        QTest::newRow("HIDDfu warning") << "HIDDfu"
                                        << "No IO ports available";
        QTest::newRow("CanWorker progress") << "CanWorker"
                                            << "Uploading data";
        QTest::newRow("CanWorker error") << "CanWorker"
                                         << "Transport unexpectedly closed";
        QTest::newRow("hiddfu_worker progress") << "hiddfu_worker"
                                                << "Erasing";
        QTest::newRow("hiddfu_worker error") << "hiddfu_worker"
                                             << "Device is not reponsing!";
        QTest::newRow("ELMParams title") << "ELMParams"
                                         << "Connection";
        QTest::newRow("ELMParams label") << "ELMParams"
                                         << "Port:";
        QTest::newRow("DropArea dialog") << "DropArea"
                                         << "Select DFU File";
        QTest::newRow("DropArea filter") << "DropArea"
                                         << "DFU Files (*.dfu)";
        QTest::newRow("LaunchDialog title") << "LaunchDialog"
                                            << "Launch";
        QTest::newRow("LaunchDialog button") << "LaunchDialog"
                                             << "Return";
        QTest::newRow("ECUFileListModel tick") << "ECUFileListModel"
                                               << "On";
        QTest::newRow("ECUFileListModel name") << "ECUFileListModel"
                                               << "Name";
        QTest::newRow("Updater failure")
            << "Updater"
            << "A problem with the Updater application has been detected. The applictaion will be closed.";
    }

    void compiledCatalogueCoversEveryContext()
    {
        QFETCH(QString, context);
        QFETCH(QString, source);
        QTranslator catalogue;
        QVERIFY(catalogue.load(compiledCatalogue));
        const QString translated = catalogue.translate(context.toUtf8().constData(), source.toUtf8().constData());
        QVERIFY2(!translated.isEmpty(), qPrintable(context + QLatin1String(": ") + source));
        QVERIFY2(translated != source, qPrintable(translated));
    }

    // The compiled catalogue is built from the source one, so both say the same.
    void compiledCatalogueMatchesTheSource()
    {
        QString error;
        const QList<Message> messages = readTs(QStringLiteral(VELTRANO_TS), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QTranslator catalogue;
        QVERIFY(catalogue.load(compiledCatalogue));
        for (const Message &message : messages) {
            const QString where = message.context + QLatin1String(" line ") + QString::number(message.line);
            QCOMPARE(catalogue.translate(message.context.toUtf8().constData(), message.source.toUtf8().constData()),
                message.translation);
            QVERIFY2(!message.translation.isEmpty(), qPrintable(where));
        }
    }

    void sourceCatalogueHasNothingLeftOver()
    {
        QString error;
        const QList<Message> messages = readTs(QStringLiteral(VELTRANO_TS), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(messages.size() > 100);
        QStringList leftOver;
        for (const Message &message : messages) {
            if (!message.type.isEmpty())
                leftOver << QStringLiteral("%1 line %2: %3 (%4)")
                                .arg(message.context)
                                .arg(message.line)
                                .arg(message.source, message.type);
        }
        QVERIFY2(leftOver.isEmpty(), qPrintable(leftOver.join(QLatin1Char('\n'))));

        QSet<QString> contexts;
        for (const Message &message : messages)
            contexts << message.context;
        for (const char *expected : {"ManagerWindow", "HIDDfu", "CanWorker", "hiddfu_worker", "ELMParams", "DropArea",
                 "LaunchDialog", "ECUFileListModel", "Updater"})
            QVERIFY2(contexts.contains(QLatin1String(expected)), expected);
    }

    void windowsBuiltUnderRussianShowRussian()
    {
        QSettings().setValue(SettingsKeys::language, QStringLiteral("ru_RU"));
        QList<QTranslator *> translators = loadTranslations(QStringLiteral("lang"));
        QVERIFY(!translators.isEmpty());

        QTranslator catalogue;
        QVERIFY(catalogue.load(compiledCatalogue));
        const QString managerTitle = catalogue.translate("ManagerWindow", "Veltrano Manager");
        const QString fileMenu = catalogue.translate("ManagerWindow", "File");
        const QString updaterTitle = catalogue.translate("HIDDfu", "Updater");
        const QString launchTip = catalogue.translate("HIDDfu", "Launch");
        QVERIFY(!managerTitle.isEmpty() && managerTitle != QLatin1String("Veltrano Manager"));
        QVERIFY(!fileMenu.isEmpty() && fileMenu != QLatin1String("File"));
        QVERIFY(!updaterTitle.isEmpty() && updaterTitle != QLatin1String("Updater"));
        QVERIFY(!launchTip.isEmpty() && launchTip != QLatin1String("Launch"));

        {
            ManagerWindow manager;
            QCOMPARE(manager.windowTitle(), managerTitle);
            auto *menu = child<QMenu>(&manager, "menuFile");
            QVERIFY(menu);
            QCOMPARE(menu->title(), fileMenu);

            HIDDfu updater;
            QCOMPARE(updater.windowTitle(), updaterTitle);
            auto *launch = child<QToolButton>(&updater, "launchTool");
            QVERIFY(launch);
            QCOMPARE(launch->toolTip(), launchTip);
        }

        unloadTranslations(translators);
        QVERIFY(translators.isEmpty());
        // Once unloaded, windows built later speak English again.
        ManagerWindow manager;
        QCOMPARE(manager.windowTitle(), QStringLiteral("Veltrano Manager"));
        HIDDfu updater;
        QCOMPARE(updater.windowTitle(), QStringLiteral("Updater"));
        QSettings().remove(SettingsKeys::language);
    }
};

VELTRANO_TEST_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
