#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QSettings>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <deque>
#include <functional>
#include <vector>

namespace testsupport {

// What every test program does before it makes its application object: headless unless the
// caller chose a platform, and every settings store and data folder in a private temporary folder,
// so no test ever reads or writes the user's real settings or data.
inline void prepareHeadless()
{
    static QTemporaryDir dir;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", dir.path().toLocal8Bit());
    // Qt's test mode puts the data folder under the home folder, and the user may name records of
    // their own: the records go here instead.
    qputenv("VELTRANO_RECORDS", (dir.path() + QStringLiteral("/records.sqlite")).toLocal8Bit());
    // A private runtime folder also keeps Qt from warning about a missing one.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", dir.path().toLocal8Bit());
    for (auto format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, dir.path());
        QSettings::setPath(format, QSettings::SystemScope, dir.path() + QStringLiteral("/system"));
    }
}

// A window's widget by its object name.
template<typename T> T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}

inline void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Quorvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Veltrano"));
}

// Closes the modal box or dialog that appears next, with the given button or by
// rejecting it; polls because the box is opened after the caller returns.
// The timer belongs to the application: its deleteLater() never runs when the application is
// destroyed right after the box closes, and the parent then frees it instead.
template<typename Action> void whenModalAppears(Action action, int maxWaitMs = 5000)
{
    auto *timer = new QTimer(QCoreApplication::instance());
    QElapsedTimer elapsed;
    elapsed.start();
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, elapsed, action, maxWaitMs] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        } else if (elapsed.elapsed() > maxWaitMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

// Runs the event loop until done() holds. QTest::qWaitFor naps 10 ms between rounds, which over
// hundreds of adapter lines adds up; this wakes on every event instead.
template<typename Done> bool waitUntil(Done done, int timeoutMs = 5000)
{
    QElapsedTimer waited;
    waited.start();
    QTimer wake;
    wake.start(20);
    while (!done()) {
        if (waited.hasExpired(timeoutMs))
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Runs the application's event loop the way the program does, after `first` has run inside it;
// returns the loop's exit code, or -1 when nothing ended it within `timeoutMs`.
inline int runLoop(const std::function<void()> &first = {}, int timeoutMs = 30000)
{
    if (first)
        QTimer::singleShot(0, first);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    guard.start(timeoutMs);
    return QCoreApplication::exec();
}

// Picks `port` on the manager's connect page, at 38400 bit/s through the given adapter, and presses
// Connect; false, before pressing, when the port is not listed.
// The choices of the connection's Transfer box, in its order.
enum Transfer { AutomaticTransfer, SegmentedTransfer, FrameTransfer };

// Frame by frame unless asked otherwise: most window tests count the adapter's frame lines.
inline bool pressConnect(QObject *manager, const QString &port, bool elm327 = false, Transfer transfer = FrameTransfer)
{
    auto *combo = child<QComboBox>(manager, "portCombo");
    child<QAbstractButton>(manager, "rescanTool")->click();
    combo->setCurrentIndex(combo->findText(port));
    if (combo->currentText() != port)
        return false;
    child<QSpinBox>(manager, "baudSpin")->setValue(38400);
    child<QAbstractButton>(manager, elm327 ? "adapterELMRadio" : "adapterELSRadio")->setChecked(true);
    child<QComboBox>(manager, "transferCombo")->setCurrentIndex(transfer);
    child<QAbstractButton>(manager, "connectTool")->click();
    return true;
}

// The manager's start page is ready for work once the list and its ticks have been read.
inline bool managerListed(QObject *manager)
{
    return waitUntil(
        [manager] {
            return child<QStackedWidget>(manager, "stackedWidget")->currentIndex() == 1
                && child<QWidget>(manager, "startPage")->isEnabled();
        },
        30000);
}

// Answers every modal window as it appears and runs one-shot steps once their condition holds.
// A message box with a Yes button is a question, answered with `answer`; any other box gets Ok.
// Boxes are recorded in order; other modal windows go to `onDialog`, which says whether it took
// care of one (a window that is modal itself is not).
class Modals : public QObject
{
public:
    Modals()
    {
        connect(&m_timer, &QTimer::timeout, this, &Modals::poll);
        m_timer.start(10);
    }

    void when(std::function<bool()> condition, std::function<void()> action)
    {
        m_steps.append({std::move(condition), std::move(action)});
    }
    bool waitFor(int boxes, int timeoutMs = 30000)
    {
        return waitUntil([&] { return titles.size() >= boxes; }, timeoutMs);
    }

    QMessageBox::StandardButton answer = QMessageBox::Yes;
    // How long a box stays open before it is answered, as a technician reading it takes a while.
    int readingMs = 0;
    std::function<bool(QWidget *)> onDialog = [](QWidget *) { return false; };
    // Runs while a question is still open, before it is answered.
    std::function<void(const QString &)> beforeAnswer = [](const QString &) {};
    QStringList titles, texts, questions, warnings;
    QList<Qt::TextFormat> formats;

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            if (box != m_box) {
                m_box = box;
                m_boxOpen.start();
            }
            if (m_boxOpen.elapsed() < readingMs)
                return;
            const bool question = box->button(QMessageBox::Yes);
            if (question)
                beforeAnswer(box->text());
            titles << box->windowTitle();
            texts << box->text();
            formats << box->textFormat();
            (question ? questions : warnings) << box->text();
            if (QAbstractButton *button = box->button(question ? answer : QMessageBox::Ok))
                button->click();
            else
                box->reject();
        } else if (!modal || !onDialog(modal)) {
            for (int i = 0; i < m_steps.size(); ++i) {
                // Queued: an action that opens a box of its own must not block this timer,
                // which is the one that answers the box.
                if (m_steps[i].first())
                    return QTimer::singleShot(0, this, m_steps.takeAt(i).second);
            }
        }
    }

    QTimer m_timer;
    QPointer<QMessageBox> m_box; // the box being read, and since when
    QElapsedTimer m_boxOpen;
    QList<QPair<std::function<bool()>, std::function<void()>>> m_steps;
};

// An argv for the run loop, which builds one application object after another from it: the
// strings have to outlive each of them.
class Arguments
{
public:
    explicit Arguments(const QStringList &args)
    {
        for (const QString &a : args)
            m_storage.push_back(a.toLocal8Bit());
        for (QByteArray &a : m_storage)
            m_pointers.push_back(a.data());
        m_pointers.push_back(nullptr);
        argc = int(m_storage.size());
    }
    char **argv() { return m_pointers.data(); }
    int argc = 0;

private:
    std::deque<QByteArray> m_storage;
    std::vector<char *> m_pointers;
};

} // namespace testsupport

// QTEST_MAIN with isolated settings and the offscreen platform.
#define VELTRANO_TEST_MAIN(TestClass)                                                                                  \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        testsupport::prepareHeadless();                                                                                \
        QApplication app(argc, argv);                                                                                  \
        testsupport::setApplicationIdentity();                                                                         \
        TestClass tc;                                                                                                  \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }
