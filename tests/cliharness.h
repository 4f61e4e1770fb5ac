#pragma once

// veltrano-cli run as a user runs it, against simulated adapters and devices.

#include "simharness.h"
#include "testfiles.h"
#include "testsupport.h"

#include <functional>

namespace clitest {

using namespace testfiles;

struct CliRun
{
    int status = -1;
    QByteArray out, err;
    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
    // Each line of standard output as a JSON object; a line that is none fails the test.
    QList<QJsonObject> lines() const
    {
        QList<QJsonObject> objects;
        for (const QByteArray &line : out.split('\n'))
            if (!line.isEmpty()) // what is no JSON object reads as an empty one
                objects << QJsonDocument::fromJson(line).object();
        return objects;
    }
};

// Runs veltrano-cli in `folder` (empty: this one) with `ports` in its port lists (`arguments` name
// them); `meanwhile` while it runs. A killed program has no status.
inline CliRun runCli(const QStringList &ports, const QStringList &arguments, int timeoutMs = 60000,
    const std::function<void(QProcess &)> &meanwhile = {}, const QString &folder = {})
{
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VELTRANO_EXTRA_PORTS"), ports.join(QDir::listSeparator()));
    cli.setProcessEnvironment(env);
    cli.setWorkingDirectory(folder);
    cli.start(QStringLiteral(VELTRANO_CLI), QStringList {"--baud", "38400", "--timeout", "5"} + arguments);
    if (meanwhile)
        meanwhile(cli);
    CliRun run;
    if (cli.waitForFinished(timeoutMs) && cli.exitStatus() == QProcess::NormalExit)
        run.status = cli.exitCode();
    run.out = cli.readAllStandardOutput();
    run.err = cli.readAllStandardError();
    return run;
}

// One simulated adapter and device with its own state, and a folder for the files handed over.
struct Station
{
    Station(const QString &mode, const QStringList &extra = {})
        : device(
            QStringList {"--adapter", "els27", "--device", "kestrane", "--mode", mode, "--state", state.path()} + extra)
        , sim(device)
    { }

    CliRun run(const QStringList &arguments, const std::function<void(QProcess &)> &meanwhile = {}) const
    {
        return runCli({sim.port()}, QStringList {"--port", sim.port()} + arguments, 60000, meanwhile);
    }
    QString file(const QString &name, const QByteArray &content) const { return writeFile(files, name, content); }
    QByteArray stored(const QString &name) const { return readFile(state.filePath(name)); }
    QByteArray flashed(int size) const { return stored("flash.bin").left(size); }
    // Packs with the program itself; a package that failed is missing when flashed.
    QString pack(const QByteArray &firmware, const QString &board)
    {
        run({"pack", file("fw.img", firmware), "--board", board, "--output", files.filePath("fw.dfu")});
        return files.filePath("fw.dfu");
    }

    QTemporaryDir state, files; // before the simulator, which is given the state's path
    const QStringList device;
    SimHarness sim;
};

} // namespace clitest
