#pragma once

#include <QElapsedTimer>
#include <QObject>

class QSocketNotifier;

// Ctrl-C (SIGINT) and SIGTERM as a Qt signal in the thread that made this object. The handler
// only writes the signal's number to a pipe that this thread watches: a handler may do next to
// nothing, and the work is to stop where the link can still be closed as on a normal end. One
// such object at a time; the default handling is back once it is gone. Elsewhere than on Unix
// the signals keep their default handling.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

signals:
    // `status` is what the run ends with: 128 and the signal's number, as a shell reports it.
    void caught(int status);
    // A later signal, once the first one has been told. The first signal delivered again within a
    // second is not one: a wrapper that forwards signals to the whole process group (GNU timeout
    // does) hands the same Ctrl-C over twice.
    void caughtAgain(int status);

private:
    void readPipe();
    void deliver(int signal);

    QSocketNotifier *m_notifier = nullptr;
    int m_first = 0;
    QElapsedTimer m_firstAt;
};
