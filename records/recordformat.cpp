#include "recordformat.h"

namespace {

QString csvField(const QString &field)
{
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) && !field.contains(QLatin1Char('\r'))
        && !field.contains(QLatin1Char('\n')))
        return field;
    QString quoted = field;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QByteArray csvLine(const QStringList &fields)
{
    QStringList line;
    for (const QString &field : fields)
        line << csvField(field);
    return line.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

} // namespace

namespace RecordFormat {

QByteArray toCsv(const QList<JobRecord> &records)
{
    const QStringList columns = JobRecord::columns();
    QByteArray csv = csvLine(columns);
    for (const JobRecord &record : records) {
        QStringList fields;
        for (const QString &column : columns)
            fields << record.text(column);
        csv += csvLine(fields);
    }
    return csv;
}

QList<QStringList> parseCsv(const QByteArray &csv)
{
    const QString text = QString::fromUtf8(csv);
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false; // inside a quoted field
    bool closed = false; // a quoted field's closing quote has been read
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c != QLatin1Char('"')) {
                field += c;
            } else if (i + 1 < n && text.at(i + 1) == QLatin1Char('"')) {
                field += c;
                ++i;
            } else {
                quoted = false;
                closed = true;
            }
        } else if (c == QLatin1Char(',')) {
            row << field;
            field.clear();
            closed = false;
        } else if (c == QLatin1Char('\n')
            || (c == QLatin1Char('\r') && i + 1 < n && text.at(i + 1) == QLatin1Char('\n'))) {
            if (c == QLatin1Char('\r'))
                ++i;
            row << field;
            rows << row;
            row.clear();
            field.clear();
            closed = false;
        } else if (closed || c == QLatin1Char('\r')) {
            return {}; // text after a closing quote, or a CR alone
        } else if (c == QLatin1Char('"')) {
            if (!field.isEmpty())
                return {}; // a quote inside a field that is not quoted
            quoted = true;
        } else {
            field += c;
        }
    }
    if (quoted)
        return {};
    // The last line may end without a line break.
    if (closed || !field.isEmpty() || !row.isEmpty())
        rows << (row << field);
    return rows;
}

QJsonArray toJson(const QList<JobRecord> &records)
{
    QJsonArray array;
    for (const JobRecord &record : records)
        array.append(record.toJson());
    return array;
}

} // namespace RecordFormat
