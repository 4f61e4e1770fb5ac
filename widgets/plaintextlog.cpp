#include "plaintextlog.h"

#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>

void appendPlainText(QTextEdit *log, const QString &text)
{
    // append() opens the new paragraph and keeps a log scrolled to its end there; the text itself
    // goes in through a cursor, which never interprets it, in a plain format, so that nothing of a
    // styled line before it carries over.
    log->append(QString());
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text, QTextCharFormat());
}
