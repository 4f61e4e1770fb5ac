#include "qautoclosemessagebox.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTimer>

namespace {

QString titleOrParents(QWidget *parent, const QString &title)
{
    return title.isEmpty() && parent ? parent->windowTitle() : title;
}

} // namespace

QAutoCloseMessageBox::QAutoCloseMessageBox(QWidget *parent)
    : QMessageBox(parent)
{
    setUpTimer();
}

QAutoCloseMessageBox::QAutoCloseMessageBox(Icon icon, const QString &title, const QString &text,
    StandardButtons buttons, QWidget *parent, Qt::WindowFlags flags)
    : QMessageBox(icon, title, text, buttons, parent, flags)
{
    setUpTimer();
}

void QAutoCloseMessageBox::setUpTimer()
{
    m_timer = new QTimer(this);
    m_timer->setInterval(1000);
    m_timer->setSingleShot(false);
    m_timeout = 0;
    m_remaining = 0;
    connect(m_timer, &QTimer::timeout, this, &QAutoCloseMessageBox::d_timeout);
    connect(this, &QDialog::finished, this, &QAutoCloseMessageBox::d_finished);
}

void QAutoCloseMessageBox::setTimeout(int seconds)
{
    if (seconds == m_timeout)
        return;
    m_timeout = seconds;
    m_remaining = seconds;
    emit timeoutChanged(seconds);
}

QString QAutoCloseMessageBox::countdownText() const
{
    return m_buttonText + QStringLiteral(" (%1)").arg(m_remaining);
}

void QAutoCloseMessageBox::startCountdown()
{
    QPushButton *button = defaultButton();
    if (!button)
        return;
    m_buttonText = button->text();
    if (m_timeout > 0) {
        m_remaining = m_timeout;
        button->setText(countdownText());
        m_timer->start();
    }
}

int QAutoCloseMessageBox::exec()
{
    startCountdown();
    return QMessageBox::exec();
}

void QAutoCloseMessageBox::show()
{
    startCountdown();
    QMessageBox::show();
}

void QAutoCloseMessageBox::d_timeout()
{
    if (m_timeout <= 0)
        return;
    --m_remaining;
    QPushButton *button = defaultButton();
    if (m_remaining > 0) {
        if (button)
            button->setText(countdownText());
    } else if (button) {
        // A real click, so the box finishes exactly as if the user had pressed it.
        button->click();
    } else {
        m_timer->stop();
    }
}

void QAutoCloseMessageBox::d_finished(int)
{
    m_timer->stop();
}

QMessageBox::StandardButton QAutoCloseMessageBox::showMessage(QWidget *parent, Icon icon, const QString &title,
    const QString &text, StandardButtons buttons, StandardButton defaultButton, int timeout)
{
    QAutoCloseMessageBox box(icon, title, text, NoButton, parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    const QDialogButtonBox *buttonBox = box.findChild<QDialogButtonBox *>();
    Q_ASSERT(buttonBox);

    for (uint mask = Ok; mask <= uint(RestoreDefaults); mask <<= 1) {
        const auto standard = static_cast<StandardButton>(mask);
        if (!buttons.testFlag(standard))
            continue;
        QPushButton *button = box.addButton(standard);
        if (box.defaultButton())
            continue;
        const bool chosen = defaultButton == NoButton ? buttonBox->buttonRole(button) == QDialogButtonBox::AcceptRole
                                                      : defaultButton == standard;
        if (chosen)
            box.setDefaultButton(button);
    }

    box.setTimeout(timeout);
    if (box.exec() == -1)
        return Cancel;
    return box.standardButton(box.clickedButton());
}

QMessageBox::StandardButton QAutoCloseMessageBox::critical(int timeout, QWidget *parent, const QString &title,
    const QString &text, StandardButtons buttons, StandardButton defaultButton)
{
    return showMessage(parent, Critical, title, text, buttons, defaultButton, timeout);
}

QMessageBox::StandardButton QAutoCloseMessageBox::information(int timeout, QWidget *parent, const QString &title,
    const QString &text, StandardButtons buttons, StandardButton defaultButton)
{
    return showMessage(parent, Information, title, text, buttons, defaultButton, timeout);
}

QMessageBox::StandardButton QAutoCloseMessageBox::question(int timeout, QWidget *parent, const QString &title,
    const QString &text, StandardButtons buttons, StandardButton defaultButton)
{
    return showMessage(parent, Question, title, text, buttons, defaultButton, timeout);
}

QMessageBox::StandardButton QAutoCloseMessageBox::warning(int timeout, QWidget *parent, const QString &title,
    const QString &text, StandardButtons buttons, StandardButton defaultButton)
{
    return showMessage(parent, Warning, title, text, buttons, defaultButton, timeout);
}

QMessageBox::StandardButton QAutoCloseMessageBox::critical(QWidget *parent, const QString &title, const QString &text,
    StandardButtons buttons, StandardButton defaultButton, int timeout)
{
    return showMessage(parent, Critical, title, text, buttons, defaultButton, timeout);
}

QMessageBox::StandardButton QAutoCloseMessageBox::information(QWidget *parent, const QString &title,
    const QString &text, StandardButtons buttons, StandardButton defaultButton, int timeout)
{
    return showMessage(parent, Information, title, text, buttons, defaultButton, timeout);
}

QMessageBox::StandardButton QAutoCloseMessageBox::question(QWidget *parent, const QString &title, const QString &text,
    StandardButtons buttons, StandardButton defaultButton, int timeout)
{
    return showMessage(parent, Question, title, text, buttons, defaultButton, timeout);
}

QMessageBox::StandardButton QAutoCloseMessageBox::warning(QWidget *parent, const QString &title, const QString &text,
    StandardButtons buttons, StandardButton defaultButton, int timeout)
{
    return showMessage(parent, Warning, title, text, buttons, defaultButton, timeout);
}

QMessageBox::StandardButton QAutoCloseMessageBox::critical(QWidget *parent, const QString &text, int timeout,
    const QString &title, StandardButtons buttons, StandardButton defaultButton)
{
    return showMessage(parent, Critical, titleOrParents(parent, title), text, buttons, defaultButton, timeout);
}

QMessageBox::StandardButton QAutoCloseMessageBox::information(QWidget *parent, const QString &text, int timeout,
    const QString &title, StandardButtons buttons, StandardButton defaultButton)
{
    return showMessage(parent, Information, titleOrParents(parent, title), text, buttons, defaultButton, timeout);
}

QMessageBox::StandardButton QAutoCloseMessageBox::question(QWidget *parent, const QString &text, int timeout,
    const QString &title, StandardButtons buttons, StandardButton defaultButton)
{
    return showMessage(parent, Question, titleOrParents(parent, title), text, buttons, defaultButton, timeout);
}

QMessageBox::StandardButton QAutoCloseMessageBox::warning(QWidget *parent, const QString &text, int timeout,
    const QString &title, StandardButtons buttons, StandardButton defaultButton)
{
    return showMessage(parent, Warning, titleOrParents(parent, title), text, buttons, defaultButton, timeout);
}
