#pragma once

#include "windowviews.h"

#include <QCommandLineParser>
#include <QStringList>

#include <functional>

// The run loop of the program: the manager first, then the updater as often as
// asked, or a fresh copy of the program. One shell lives for the whole process and
// owns what outlives the application objects: the command line and the restart data.
class ProgramShell
{
public:
    // The codes the manager window ends its event loop with, as the loop reads them.
    enum ManagerExit {
        RestartProgram = ManagerView::RestartProgram,
        UpdaterDisconnected = ManagerView::UpdaterDisconnected,
        UpdaterConnected = ManagerView::UpdaterConnected
    };
    // What the runners return to the loop.
    enum RunResult { End = 0, Restart = 1, RunUpdater = 2 };

    using DetachedStarter = std::function<bool(const QString &program, const QStringList &arguments)>;

    explicit ProgramShell(WindowFactory windows, DetachedStarter starter = {});

    // The entry function's loop; always returns 0.
    int run(int &argc, char **argv);

    int runManager(int &argc, char **argv, bool *reuseConnection);
    int runUpdater(int &argc, char **argv, bool reuseConnection);

    QString restartProgram() const { return m_restartProgram; }
    QStringList restartArguments() const { return m_restartArguments; }

    // The text the updater shows, untranslated, when its window cannot start.
    static const char *const updaterFailureTitle;
    static const char *const updaterFailureText;

private:
    bool handleCommandLine(bool *reuseConnection);

    WindowFactory m_windows;
    DetachedStarter m_startDetached;
    QCommandLineParser m_parser;
    bool m_commandLinePending = true;
    QString m_restartProgram;
    QStringList m_restartArguments;
};
