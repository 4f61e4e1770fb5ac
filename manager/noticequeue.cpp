#include "noticequeue.h"

#include <qautoclosemessagebox.h>

NoticeQueue::NoticeQueue(QWidget *window)
    : QObject(window)
    , m_window(window)
{ }

QMessageBox::StandardButton NoticeQueue::plainBox(QWidget *parent, QMessageBox::Icon icon, const QString &title,
    const QString &text, QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton)
{
    QMessageBox box(icon, title, text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(defaultButton);
    return QMessageBox::StandardButton(box.exec());
}

void NoticeQueue::notify(QMessageBox::Icon icon, int timeoutSeconds, const QString &title, const QString &text)
{
    m_notices.append(Notice {icon, timeoutSeconds, title, text});
    if (!m_showing && m_notices.size() == 1)
        QMetaObject::invokeMethod(this, &NoticeQueue::showAll, Qt::QueuedConnection);
}

void NoticeQueue::showAll()
{
    if (m_showing || m_stopped)
        return;
    m_showing = true;
    while (!m_notices.isEmpty() && !m_stopped) {
        const Notice notice = m_notices.takeFirst();
        if (notice.timeoutSeconds > 0) {
            QAutoCloseMessageBox box(notice.icon, notice.title, notice.text, QMessageBox::Ok, m_window);
            box.setTextFormat(Qt::PlainText);
            box.setDefaultButton(QMessageBox::Ok);
            box.setTimeout(notice.timeoutSeconds);
            box.exec();
        } else {
            plainBox(m_window, notice.icon, notice.title, notice.text, QMessageBox::Ok);
        }
    }
    m_showing = false;
}
