#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>

// The manager window's boxes that answer a worker report. They are shown once the report's call
// stack has unwound, one after the other: a modal loop opened inside the adapter driver's read
// handler would keep the driver from seeing the adapter's next prompt. Every box shows its text
// literally: it may carry what a device or a file says.
class NoticeQueue : public QObject
{
    Q_OBJECT

public:
    explicit NoticeQueue(QWidget *window);

    // `timeoutSeconds` 0: a plain box that waits for the user.
    void notify(QMessageBox::Icon icon, int timeoutSeconds, const QString &title, const QString &text);
    // Once the program is leaving no box may hold it up: a box opened after the event loop was
    // told to end would keep it running.
    void stop() { m_stopped = true; }

    static QMessageBox::StandardButton plainBox(QWidget *parent, QMessageBox::Icon icon, const QString &title,
        const QString &text, QMessageBox::StandardButtons buttons,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

private:
    void showAll();

    struct Notice
    {
        QMessageBox::Icon icon;
        int timeoutSeconds;
        QString title;
        QString text;
    };

    QWidget *m_window;
    QList<Notice> m_notices;
    bool m_showing = false;
    bool m_stopped = false;
};
