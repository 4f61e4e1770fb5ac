#pragma once

class QString;
class QTextEdit;

// Appends `text` to `log` as a paragraph of its own, taken literally. What a device reports
// (its description, its file names) and what a file carries may hold anything, markup too; it is
// shown as the characters it is, never rendered, whatever the log showed before it.
void appendPlainText(QTextEdit *log, const QString &text);
