#include "translations.h"

#include "settingskeys.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QSettings>
#include <QTranslator>

namespace {
// Qt 6 renamed the lookup and deprecates the old name.
QString qtTranslationsPath()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    return QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
}
} // namespace

QList<QTranslator *> loadTranslations(const QString &folder)
{
    QList<QTranslator *> installed;

    QString lang = QLocale::system().name();
    lang = QSettings().value(SettingsKeys::language, lang).toString();
    if (lang.isEmpty())
        lang = QLocale::system().name();

    // QTranslator::load falls back from qt_ru_RU to qt_ru by itself.
    auto *framework = new QTranslator;
    if (framework->load(QStringLiteral("qt_") + lang, qtTranslationsPath())
        && QCoreApplication::installTranslator(framework)) {
        installed.append(framework);
    } else {
        delete framework;
    }

    const QString folderPath = QStringLiteral(":/%1/").arg(folder);
    const QString code = lang.section(QLatin1Char('_'), 0, 0);
    const QStringList catalogues
        = QDir(folderPath)
              .entryList({QStringLiteral("*_%1*.qm").arg(code)}, QDir::Files, QDir::Name | QDir::IgnoreCase);
    if (!catalogues.isEmpty()) {
        auto *program = new QTranslator;
        if (program->load(folderPath + catalogues.first()) && QCoreApplication::installTranslator(program))
            installed.append(program);
        else
            delete program;
    }
    return installed;
}

void unloadTranslations(QList<QTranslator *> &translators)
{
    for (QTranslator *translator : qAsConst(translators)) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
    translators.clear();
}
