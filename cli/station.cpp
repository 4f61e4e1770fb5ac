#include "station.h"

#include "adapterjob.h"
#include "managerjob.h"
#include "updaterjob.h"

#include <QEventLoop>

#include <memory>

Station::Station(const CliOptions &options, bool bootloader, const QString &label, QObject *parent)
    : QThread(parent)
    , m_options(options)
    , m_bootloader(bootloader)
    , m_report(options.command, options.json, label)
{
    m_report.setEvents(options.events);
}

Station::~Station()
{
    wait();
}

void Station::stop(int status)
{
    m_stopStatus.store(status);
    emit stopRequested(status);
}

void Station::run()
{
    // Made here, so that the job, its worker, the driver and its port belong to this thread;
    // they are destroyed here too, which resets the adapter and closes the port.
    std::unique_ptr<CliJob> job;
    if (m_options.command == QLatin1String("adapter"))
        job = std::make_unique<AdapterJob>(m_options, m_report);
    else if (m_bootloader)
        job = std::make_unique<UpdaterJob>(m_options, m_report);
    else
        job = std::make_unique<ManagerJob>(m_options, m_report);
    QEventLoop loop;
    bool ended = false;
    connect(job.get(), &CliJob::done, &loop, [&](int status) {
        m_status = status;
        ended = true;
        loop.quit();
    });
    // A stop asked for before this point is seen in the flag, one after it by the queued call
    // (or in the flag, by a job whose set-up blocks).
    job->watchStop(&m_stopStatus);
    connect(this, &Station::stopRequested, job.get(), &CliJob::interrupt, Qt::QueuedConnection);
    if (const int status = m_stopStatus.load()) {
        m_status = m_report.interrupted(status, QStringLiteral("interrupted: nothing was sent to the device"));
        return;
    }
    job->run();
    if (!ended)
        loop.exec();
}
