#include "recordscommand.h"

#include <recordformat.h>
#include <recordstore.h>

#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>
#include <tuple>

namespace {

// A date (the day's start, or with `endOfDay` its last millisecond) or a date and time, local
// unless it names its zone: "2026-12-01", "2026-12-01T08:30", "2026-12-01T08:30:00Z".
QDateTime parseMoment(const QString &text, bool endOfDay)
{
    // A date alone is exactly ten characters: Qt reads the date at the start of a longer text too,
    // and would drop its time.
    const QDate day = text.size() == 10 ? QDate::fromString(text, Qt::ISODate) : QDate();
    if (day.isValid())
        return endOfDay ? day.startOfDay().addDays(1).addMSecs(-1) : day.startOfDay();
    QString moment = text;
    if (moment.size() > 10 && moment.at(10) == QLatin1Char(' '))
        moment[10] = QLatin1Char('T');
    return QDateTime::fromString(moment, Qt::ISODateWithMs);
}

QString value(const QCommandLineParser &parser, const char *name)
{
    return parser.value(QLatin1String(name));
}

// The filter the options ask for; false, with `problem`, when one of them is not understood.
bool readFilter(const QCommandLineParser &parser, RecordFilter &filter, QString &problem)
{
    // Hexadecimal as the records keep it, without the leading zeros a description may show.
    filter.board = value(parser, "board");
    if (filter.board.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        filter.board = filter.board.mid(2);
    while (filter.board.size() > 1 && filter.board.startsWith(QLatin1Char('0')))
        filter.board.remove(0, 1);
    filter.uuid = value(parser, "uuid");
    filter.job = value(parser, "job");
    filter.failedOnly = parser.isSet(QStringLiteral("failed"));
    for (auto [name, bound, end] :
        {std::tuple {"since", &filter.since, false}, std::tuple {"until", &filter.until, true}}) {
        if (!parser.isSet(QLatin1String(name)))
            continue;
        *bound = parseMoment(value(parser, name), end);
        if (!bound->isValid()) {
            problem = QStringLiteral("--%1 must be a date such as 2026-12-01, or a date and time such as "
                                     "2026-12-01T08:30")
                          .arg(QLatin1String(name));
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("limit"))) {
        bool ok = false;
        filter.limit = value(parser, "limit").toInt(&ok);
        if (!ok || filter.limit <= 0) {
            problem = QStringLiteral("--limit must be a number of records, 1 or more");
            return false;
        }
    }
    return true;
}

QString line(const JobRecord &record)
{
    QStringList fields {record.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
        record.dryRun ? record.job + QStringLiteral(" (dry run)") : record.job, record.status};
    if (!record.boardId.isEmpty())
        fields << QStringLiteral("board ") + record.boardId;
    if (!record.uuid.isEmpty())
        fields << QStringLiteral("UUID ") + record.uuid;
    if (!record.fileName.isEmpty())
        fields << QFileInfo(record.fileName).fileName();
    if (!record.port.isEmpty())
        fields << record.port;
    if (!record.reason.isEmpty())
        fields << record.reason;
    return fields.join(QLatin1String("  "));
}

} // namespace

int listRecords(const QCommandLineParser &parser, const QString &path, CliReport &report)
{
    RecordFilter filter;
    QString problem;
    if (!readFilter(parser, filter, problem))
        return report.fail(CliUsage, problem);
    QList<JobRecord> records;
    // Reading makes no file: where no job has written one, there are no records yet.
    if (QFileInfo::exists(path)) {
        RecordStore store(path);
        if (store.open())
            records = store.find(filter);
        if (!store.error().isEmpty())
            return report.fail(CliBadInput, store.error());
    }
    if (parser.isSet(QStringLiteral("csv"))) {
        const QByteArray csv = RecordFormat::toCsv(records);
        std::fwrite(csv.constData(), 1, size_t(csv.size()), stdout);
        std::fflush(stdout);
        return CliOk;
    }
    QStringList lines;
    for (const JobRecord &record : records)
        lines << line(record);
    if (lines.isEmpty())
        lines << QStringLiteral("no records match");
    return report.succeed({{"records", RecordFormat::toJson(records)}}, lines);
}
