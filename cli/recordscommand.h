#pragma once

#include "clireport.h"

class QCommandLineParser;

// veltrano-cli records: the jobs' records in the file at `path`, newest first, filtered as the
// options say, as lines of text, one JSON object (--json) or RFC 4180 CSV (--csv).
int listRecords(const QCommandLineParser &parser, const QString &path, CliReport &report);
