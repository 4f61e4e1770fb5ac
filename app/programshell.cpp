#include "programshell.h"

#include <canids.h>
#include <dfuparams.h>
#include <qmaterialicon.h>
#include <serialports.h>
#include <settingskeys.h>
#include <translations.h>
#include <veltranoversion.h>

#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTranslator>

#include <memory>

const char *const ProgramShell::updaterFailureTitle = "Updater";
const char *const ProgramShell::updaterFailureText = QT_TRANSLATE_NOOP(
    "Updater", "A problem with the Updater application has been detected. The applictaion will be closed.");

namespace {

// Builds one run's application object with the identity that addresses the
// settings store, the window icon, and the icon font registered with it.
std::unique_ptr<QApplication> makeApplication(int &argc, char **argv)
{
    auto app = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setOrganizationName(SettingsKeys::organisation);
    QCoreApplication::setApplicationName(SettingsKeys::application);
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTRANO_VERSION));
    // Lets a Wayland desktop match the windows to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.quorvane.veltrano"));
    QApplication::setWindowIcon(QIcon(QStringLiteral("://veltrano.ico")));

    // The font database belongs to the application object: a registry made under
    // an earlier one must register its font again with this one.
    QMaterialIcon *icons = QMaterialIcon::instance();
    const bool fresh = icons->fresh;
    icons->fresh = false;
    if (!fresh) {
        icons->unloadFont();
        icons->loadFont();
    }
    return app;
}

bool isUsableLanguage(const QString &language)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral("\\w{2,2}(\\_?).*")),
        QRegularExpression::UseUnicodePropertiesOption | QRegularExpression::DotMatchesEverythingOption);
    return !language.isEmpty() && pattern.match(language).hasMatch();
}

} // namespace

ProgramShell::ProgramShell(WindowFactory windows, DetachedStarter starter)
    : m_windows(std::move(windows))
    , m_startDetached(std::move(starter))
{
    if (!m_startDetached) {
        m_startDetached = [](const QString &program, const QStringList &arguments) {
            return QProcess::startDetached(program, arguments);
        };
    }
}

int ProgramShell::run(int &argc, char **argv)
{
    bool reuseConnection = false;
    int result = runManager(argc, argv, &reuseConnection);
    while (result == RunUpdater)
        result = runUpdater(argc, argv, reuseConnection);
    if (result == Restart && !m_restartProgram.isEmpty())
        m_startDetached(m_restartProgram, m_restartArguments);
    return 0;
}

// Returns true when the command line asks for the updater straight away.
bool ProgramShell::handleCommandLine(bool *reuseConnection)
{
    const QCommandLineOption langOption(
        QStringLiteral("lang"), QStringLiteral("Set UI language to <lang>."), QStringLiteral("lang"));
    const QCommandLineOption dfuOption(QStringLiteral("dfu"), QStringLiteral("Launch the DFU utility."));
    m_parser.addVersionOption();
    m_parser.addHelpOption();
    m_parser.addOption(langOption);
    m_parser.addOption(dfuOption);
    m_parser.process(*QCoreApplication::instance());

    if (m_parser.isSet(dfuOption)) {
        *reuseConnection = false;
        return true;
    }
    QSettings settings;
    if (m_parser.isSet(langOption)) {
        settings.setValue(SettingsKeys::language, m_parser.value(langOption));
    } else if (!isUsableLanguage(settings.value(SettingsKeys::language).toString())) {
        settings.setValue(SettingsKeys::language, QLocale::system().name());
    }
    return false;
}

int ProgramShell::runManager(int &argc, char **argv, bool *reuseConnection)
{
    auto app = makeApplication(argc, argv);

    if (m_commandLinePending) {
        m_commandLinePending = false;
        if (handleCommandLine(reuseConnection))
            return RunUpdater;
    }

    QList<QTranslator *> translators = loadTranslations(QStringLiteral("lang"));
    std::unique_ptr<ManagerView> window = m_windows.manager();
    if (!window->init()) {
        window.reset();
        unloadTranslations(translators);
        return End;
    }
    window->showWindow();
    const int code = app->exec();

    const QStringList arguments = QCoreApplication::arguments();
    m_restartProgram = arguments.value(0);
    m_restartArguments = arguments;
    unloadTranslations(translators);

    int result = End;
    switch (code) {
    case RestartProgram:
        result = Restart;
        break;
    case UpdaterDisconnected:
        *reuseConnection = false;
        result = RunUpdater;
        break;
    case UpdaterConnected:
        *reuseConnection = true;
        result = RunUpdater;
        break;
    default:
        break;
    }
    window.reset(); // saves the window's own settings while the application still exists
    return result;
}

int ProgramShell::runUpdater(int &argc, char **argv, bool reuseConnection)
{
    auto app = makeApplication(argc, argv);
    QList<QTranslator *> translators = loadTranslations(QStringLiteral("lang"));
    std::unique_ptr<UpdaterView> window = m_windows.updater();

    const QSettings settings;
    DFUParams params;
    params.mode = 0;
    // The manager hands its port over by the name it stores it under, maybe a link; the
    // updater's port list shows the port by its listed name.
    const QString handedOver = settings.value(SettingsKeys::handoverPort).toString();
    const QString listed = resolveSerialPort(handedOver);
    params.lastPort = listed.isEmpty() ? handedOver : listed;
    params.port = reuseConnection ? params.lastPort : QString();
    params.baud = settings.value(SettingsKeys::handoverBaud, -1).toInt();
    params.adapter = settings.value(SettingsKeys::handoverAdapter).toString() == QLatin1String("elm327") ? 0 : 1;
    params.canId = CanIds::bootloaderCanId;
    params.pcId = CanIds::bootloaderPcId;
    params.file.clear();
    params.autoLaunch = false;

    window->setup(params);
    window->showWindow();
    int result = Restart;
    if (!window->start()) {
        QMessageBox::warning(nullptr, QString::fromLatin1(updaterFailureTitle), QString::fromLatin1(updaterFailureText),
            QMessageBox::Ok);
    } else {
        app->exec();
        result = window->runResult();
    }
    window->shutdown();
    window.reset();
    unloadTranslations(translators);
    return result;
}
