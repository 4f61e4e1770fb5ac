#pragma once

#include "jobrecord.h"

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QStringList>

// Records as other programs read them.
namespace RecordFormat {

// RFC 4180: a header line of JobRecord::columns(), CRLF line ends, and a field quoted when it
// holds a comma, a quote, a CR or an LF, its quotes doubled. UTF-8.
QByteArray toCsv(const QList<JobRecord> &records);
// The rows of an RFC 4180 text, header included; nullopt-like empty list when it is malformed.
QList<QStringList> parseCsv(const QByteArray &csv);
QJsonArray toJson(const QList<JobRecord> &records);

} // namespace RecordFormat
