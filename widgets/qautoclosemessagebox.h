#pragma once

#include <QMessageBox>

class QTimer;

// A message box that clicks its default button by itself after a number of
// seconds, counting down on the button ("OK (5)", "OK (4)", ...).
class QAutoCloseMessageBox : public QMessageBox
{
    Q_OBJECT
    Q_PROPERTY(int timeout READ timeout WRITE setTimeout NOTIFY timeoutChanged)

public:
    explicit QAutoCloseMessageBox(QWidget *parent = nullptr);
    QAutoCloseMessageBox(Icon icon, const QString &title, const QString &text, StandardButtons buttons = NoButton,
        QWidget *parent = nullptr, Qt::WindowFlags flags = Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);

    int timeout() const { return m_timeout; }
    void setTimeout(int seconds);
    int remaining() const { return m_remaining; }

    static StandardButton showMessage(QWidget *parent, Icon icon, const QString &title, const QString &text,
        StandardButtons buttons, StandardButton defaultButton, int timeout);

    // Timeout first.
    static StandardButton critical(int timeout, QWidget *parent, const QString &title, const QString &text,
        StandardButtons buttons = Ok, StandardButton defaultButton = NoButton);
    static StandardButton information(int timeout, QWidget *parent, const QString &title, const QString &text,
        StandardButtons buttons = Ok, StandardButton defaultButton = NoButton);
    static StandardButton question(int timeout, QWidget *parent, const QString &title, const QString &text,
        StandardButtons buttons = StandardButtons(Yes | No), StandardButton defaultButton = NoButton);
    static StandardButton warning(int timeout, QWidget *parent, const QString &title, const QString &text,
        StandardButtons buttons = Ok, StandardButton defaultButton = NoButton);

    // Timeout last, as an extra argument to the standard message box's functions.
    static StandardButton critical(QWidget *parent, const QString &title, const QString &text, StandardButtons buttons,
        StandardButton defaultButton, int timeout);
    static StandardButton information(QWidget *parent, const QString &title, const QString &text,
        StandardButtons buttons, StandardButton defaultButton, int timeout);
    static StandardButton question(QWidget *parent, const QString &title, const QString &text, StandardButtons buttons,
        StandardButton defaultButton, int timeout);
    static StandardButton warning(QWidget *parent, const QString &title, const QString &text, StandardButtons buttons,
        StandardButton defaultButton, int timeout);

    // Text first; an empty title takes the parent's window title.
    static StandardButton critical(QWidget *parent, const QString &text, int timeout, const QString &title = QString(),
        StandardButtons buttons = Ok, StandardButton defaultButton = NoButton);
    static StandardButton information(QWidget *parent, const QString &text, int timeout,
        const QString &title = QString(), StandardButtons buttons = Ok, StandardButton defaultButton = NoButton);
    static StandardButton question(QWidget *parent, const QString &text, int timeout, const QString &title = QString(),
        StandardButtons buttons = StandardButtons(Yes | No), StandardButton defaultButton = NoButton);
    static StandardButton warning(QWidget *parent, const QString &text, int timeout, const QString &title = QString(),
        StandardButtons buttons = Ok, StandardButton defaultButton = NoButton);

signals:
    void timeoutChanged(int value);

public slots:
    int exec() override;
    void show();

protected slots:
    void d_timeout();
    void d_finished(int result);

private:
    void setUpTimer();
    void startCountdown();
    QString countdownText() const;

    QTimer *m_timer = nullptr;
    int m_timeout = 0;
    int m_remaining = 0;
    QString m_buttonText;
};
