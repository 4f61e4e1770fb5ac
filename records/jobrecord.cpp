#include "jobrecord.h"

#include "veltranoversion.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>

#include <vector>
#endif

namespace {

QString currentUser()
{
    for (const char *name : {"USER", "USERNAME", "LOGNAME"}) {
        const QString user = qEnvironmentVariable(name);
        if (!user.isEmpty())
            return user;
    }
#ifdef Q_OS_UNIX
    // The re-entrant form: stations on several threads begin their records at once.
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd *found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
#endif
    return {};
}

// One column: its name and how the record's field reads and writes as a stored value.
struct Column
{
    const char *name;
    QVariant (*get)(const JobRecord &);
    void (*set)(JobRecord &, const QVariant &);
};

template<QString JobRecord::*M> QVariant getText(const JobRecord &r)
{
    return (r.*M).isEmpty() ? QVariant() : QVariant(r.*M);
}
template<QString JobRecord::*M> void setText(JobRecord &r, const QVariant &v)
{
    r.*M = v.isNull() ? QString() : v.toString();
}
template<QString JobRecord::*M> constexpr Column text(const char *name)
{
    return {name, getText<M>, setText<M>};
}

// Text sorts as time only in one form: UTC, with the milliseconds always written.
template<QDateTime JobRecord::*M> QVariant getTime(const JobRecord &r)
{
    return (r.*M).isValid() ? QVariant((r.*M).toUTC().toString(Qt::ISODateWithMs)) : QVariant();
}
template<QDateTime JobRecord::*M> void setTime(JobRecord &r, const QVariant &v)
{
    r.*M = v.isNull() ? QDateTime() : QDateTime::fromString(v.toString(), Qt::ISODateWithMs).toUTC();
}
template<QDateTime JobRecord::*M> constexpr Column time(const char *name)
{
    return {name, getTime<M>, setTime<M>};
}

// A number with one value that means "not known".
template<typename T, T JobRecord::*M, T Unknown> QVariant getNumber(const JobRecord &r)
{
    return r.*M == Unknown ? QVariant() : QVariant(qint64(r.*M));
}
template<typename T, T JobRecord::*M, T Unknown> void setNumber(JobRecord &r, const QVariant &v)
{
    r.*M = v.isNull() ? Unknown : T(v.toLongLong());
}
template<typename T, T JobRecord::*M, T Unknown = -1> constexpr Column number(const char *name)
{
    return {name, getNumber<T, M, Unknown>, setNumber<T, M, Unknown>};
}

template<bool JobRecord::*M> QVariant getFlag(const JobRecord &r)
{
    return r.*M;
}
template<bool JobRecord::*M> void setFlag(JobRecord &r, const QVariant &v)
{
    r.*M = v.toBool();
}
template<bool JobRecord::*M> constexpr Column flag(const char *name)
{
    return {name, getFlag<M>, setFlag<M>};
}

template<double JobRecord::*M> QVariant getVoltage(const JobRecord &r)
{
    return qIsNaN(r.*M) ? QVariant() : QVariant(r.*M);
}
template<double JobRecord::*M> void setVoltage(JobRecord &r, const QVariant &v)
{
    r.*M = v.isNull() ? qQNaN() : v.toDouble();
}
template<double JobRecord::*M> constexpr Column voltage(const char *name)
{
    return {name, getVoltage<M>, setVoltage<M>};
}

using R = JobRecord;
const Column columnTable[] = {
    number<qint64, &R::id, 0>("id"),
    time<&R::started>("started"),
    time<&R::ended>("ended"),
    number<qint64, &R::durationMs>("duration_ms"),
    text<&R::program>("program"),
    text<&R::version>("version"),
    text<&R::host>("host"),
    text<&R::user>("user"),
    text<&R::job>("job"),
    flag<&R::dryRun>("dry_run"),
    text<&R::status>("status"),
    number<int, &R::exitCode>("exit_code"),
    text<&R::reason>("reason"),
    text<&R::port>("port"),
    text<&R::adapterKind>("adapter_kind"),
    text<&R::adapterId>("adapter_id"),
    text<&R::transfer>("transfer"),
    text<&R::role>("role"),
    text<&R::boardId>("board_id"),
    text<&R::uuid>("uuid"),
    text<&R::description>("description"),
    text<&R::fileName>("file_name"),
    number<qint64, &R::fileSize>("file_size"),
    text<&R::sha256>("sha256"),
    flag<&R::eraseSent>("erase_sent"),
    flag<&R::eraseConfirmed>("erase_confirmed"),
    flag<&R::eraseRefused>("erase_refused"),
    number<qint64, &R::bytesAcknowledged>("bytes_acknowledged"),
    flag<&R::finaliseConfirmed>("finalise_confirmed"),
    flag<&R::launchAnswered>("launch_answered"),
    voltage<&R::voltageBefore>("voltage_before"),
    voltage<&R::voltageAfter>("voltage_after"),
};

const Column *findColumn(const QString &name)
{
    for (const Column &column : columnTable) {
        if (name == QLatin1String(column.name))
            return &column;
    }
    return nullptr;
}

} // namespace

JobRecord JobRecord::begin(const QString &job, const QString &program)
{
    JobRecord record;
    record.started = QDateTime::currentDateTimeUtc();
    record.job = job;
    record.program = program;
    record.status = QLatin1String(unfinished);
    record.version = QStringLiteral(VELTRANO_VERSION);
    record.host = QSysInfo::machineHostName();
    record.user = currentUser();
    return record;
}

void JobRecord::finish(const QString &status, const QString &reason, int exitCode)
{
    ended = QDateTime::currentDateTimeUtc();
    durationMs = started.isValid() ? started.msecsTo(ended) : -1;
    this->status = status;
    this->reason = reason;
    this->exitCode = exitCode;
}

bool JobRecord::leftNoApplication() const
{
    // An erase the device refused, with nothing confirmed before it, left the application as it was.
    const bool untouched = eraseRefused && !eraseConfirmed && bytesAcknowledged == 0;
    return job == QLatin1String("flash") && !dryRun && eraseSent && !untouched && !finaliseConfirmed;
}

QString JobRecord::unfinishedFlashText() const
{
    return QCoreApplication::translate(
        "JobRecord", "The last flash of this device (%1, %2) did not finish: it has no application.")
        .arg(started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")), QFileInfo(fileName).fileName());
}

QStringList JobRecord::columns()
{
    QStringList names;
    for (const Column &column : columnTable)
        names << QLatin1String(column.name);
    return names;
}

QVariant JobRecord::value(const QString &column) const
{
    const Column *found = findColumn(column);
    return found ? found->get(*this) : QVariant();
}

void JobRecord::setValue(const QString &column, const QVariant &value)
{
    if (const Column *found = findColumn(column))
        found->set(*this, value);
}

QString JobRecord::text(const QString &column) const
{
    const QVariant v = value(column);
    if (v.isNull())
        return {};
    if (v.userType() == QMetaType::Bool)
        return v.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    if (v.userType() == QMetaType::Double)
        return QString::number(v.toDouble(), 'f', 1);
    return v.toString();
}

QJsonObject JobRecord::toJson() const
{
    QJsonObject object;
    for (const Column &column : columnTable) {
        const QVariant v = column.get(*this);
        object.insert(QLatin1String(column.name), v.isNull() ? QJsonValue() : QJsonValue::fromVariant(v));
    }
    return object;
}
