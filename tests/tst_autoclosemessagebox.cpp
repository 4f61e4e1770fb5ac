#include "testsupport.h"

#include <qautoclosemessagebox.h>

#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

Q_DECLARE_METATYPE(QMessageBox::StandardButton)
Q_DECLARE_METATYPE(QMessageBox::StandardButtons)

namespace {

QTimer *countdownTimer(QAutoCloseMessageBox &box)
{
    return box.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
}

void tick(QAutoCloseMessageBox &box)
{
    QVERIFY(QMetaObject::invokeMethod(&box, "d_timeout"));
}

// What a box looked like when it came up, before the test dismissed it.
struct Seen
{
    bool appeared = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QStringList buttonTexts;
    bool counting = false;
};

// Records the next box and closes it with the given button (or its first one).
void recordAndClose(Seen &seen, QMessageBox::StandardButton closeWith = QMessageBox::NoButton)
{
    testsupport::whenModalAppears([&seen, closeWith](QWidget *modal) {
        auto *box = qobject_cast<QAutoCloseMessageBox *>(modal);
        if (!box) {
            modal->close();
            return;
        }
        seen.appeared = true;
        seen.icon = box->icon();
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.defaultButton = box->standardButton(box->defaultButton());
        for (QAbstractButton *button : box->buttons())
            seen.buttonTexts << button->text();
        seen.buttonTexts.sort();
        seen.counting = countdownTimer(*box)->isActive();
        QAbstractButton *target = closeWith != QMessageBox::NoButton ? box->button(closeWith) : box->buttons().first();
        target->click();
    });
}

// Rejects a box still open after the given time, so a countdown that never ends
// fails the test instead of hanging it.
class Watchdog
{
public:
    explicit Watchdog(int ms)
    {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, [] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                box->done(-1);
        });
        m_timer.start(ms);
    }

private:
    QTimer m_timer;
};

} // namespace

class TestAutoCloseMessageBox : public QObject
{
    Q_OBJECT

private slots:
    void countsDownOnTheDefaultButton();
    void clickDuringCountdownStopsIt();
    void withoutTimeoutNeverCounts();
    void setTimeoutNotifiesOnlyChanges();
    void showMessagePicksDefault_data();
    void showMessagePicksDefault();
    void showMessageClosesByItself();
    void wrappers_data();
    void wrappers();
};

void TestAutoCloseMessageBox::countsDownOnTheDefaultButton()
{
    QAutoCloseMessageBox box(QMessageBox::Information, QStringLiteral("Title"), QStringLiteral("Text"),
        QMessageBox::Ok | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Ok);
    box.setTimeout(5);
    QTimer *timer = countdownTimer(box);
    QVERIFY(timer);
    QCOMPARE(timer->interval(), 1000);
    QVERIFY(!timer->isSingleShot());
    QSignalSpy finished(&box, &QDialog::finished);

    box.show();
    QPushButton *ok = box.defaultButton();
    QCOMPARE(ok->text(), QStringLiteral("OK (5)"));
    QCOMPARE(box.remaining(), 5);
    QVERIFY(timer->isActive());

    tick(box);
    QCOMPARE(ok->text(), QStringLiteral("OK (4)"));
    QCOMPARE(box.remaining(), 4);
    for (int i = 0; i < 3; ++i)
        tick(box);
    QCOMPARE(ok->text(), QStringLiteral("OK (1)"));
    QVERIFY(box.isVisible());

    tick(box);
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(box.clickedButton(), static_cast<QAbstractButton *>(ok));
    QVERIFY(!box.isVisible());
    QVERIFY(!timer->isActive());
}

void TestAutoCloseMessageBox::clickDuringCountdownStopsIt()
{
    QAutoCloseMessageBox box(
        QMessageBox::Warning, QStringLiteral("Title"), QStringLiteral("Text"), QMessageBox::Ok | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Ok);
    box.setTimeout(5);
    box.show();
    tick(box);
    QVERIFY(countdownTimer(box)->isActive());

    box.button(QMessageBox::Cancel)->click();
    QVERIFY(!box.isVisible());
    QVERIFY(!countdownTimer(box)->isActive());
    QCOMPARE(box.clickedButton(), box.button(QMessageBox::Cancel));
    QCOMPARE(box.remaining(), 4);
}

void TestAutoCloseMessageBox::withoutTimeoutNeverCounts()
{
    QAutoCloseMessageBox box(
        QMessageBox::Information, QStringLiteral("Title"), QStringLiteral("Text"), QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.show();
    QCOMPARE(box.defaultButton()->text(), QStringLiteral("OK"));
    QVERIFY(!countdownTimer(box)->isActive());
    tick(box);
    QCOMPARE(box.defaultButton()->text(), QStringLiteral("OK"));
    QVERIFY(box.isVisible());
    box.close();

    // A timeout without a default button does not count down either.
    QAutoCloseMessageBox noDefault(
        QMessageBox::Information, QStringLiteral("Title"), QStringLiteral("Text"), QMessageBox::Ok);
    noDefault.setTimeout(5);
    noDefault.show();
    QCOMPARE(noDefault.button(QMessageBox::Ok)->text(), QStringLiteral("OK"));
    QVERIFY(!countdownTimer(noDefault)->isActive());
    noDefault.close();
}

void TestAutoCloseMessageBox::setTimeoutNotifiesOnlyChanges()
{
    QAutoCloseMessageBox box;
    QCOMPARE(box.timeout(), 0);
    QCOMPARE(box.remaining(), 0);
    QSignalSpy changed(&box, &QAutoCloseMessageBox::timeoutChanged);

    box.setTimeout(0);
    QCOMPARE(changed.count(), 0);
    box.setTimeout(5);
    box.setTimeout(5);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toInt(), 5);
    QCOMPARE(box.remaining(), 5);
    QVERIFY(box.setProperty("timeout", 3));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(box.remaining(), 3);
}

void TestAutoCloseMessageBox::showMessagePicksDefault_data()
{
    QTest::addColumn<QMessageBox::StandardButtons>("buttons");
    QTest::addColumn<QMessageBox::StandardButton>("requested");
    QTest::addColumn<QMessageBox::StandardButton>("expectedDefault");

    using B = QMessageBox;
    QTest::newRow("OK alone") << B::StandardButtons(B::Ok) << B::NoButton << B::Ok;
    QTest::newRow("first accept role") << (B::Cancel | B::Save | B::Open) << B::NoButton << B::Save;
    QTest::newRow("accept role among others") << (B::Abort | B::Retry | B::Ignore) << B::NoButton << B::Retry;
    QTest::newRow("yes is no accept role") << (B::Yes | B::No) << B::NoButton << B::NoButton;
    QTest::newRow("cancel alone") << B::StandardButtons(B::Cancel) << B::NoButton << B::NoButton;
    QTest::newRow("requested") << (B::Ok | B::Cancel) << B::Cancel << B::Cancel;
    QTest::newRow("requested no") << (B::Yes | B::No) << B::No << B::No;
    QTest::newRow("requested but absent") << B::StandardButtons(B::Ok) << B::Cancel << B::NoButton;
}

void TestAutoCloseMessageBox::showMessagePicksDefault()
{
    QFETCH(QMessageBox::StandardButtons, buttons);
    QFETCH(QMessageBox::StandardButton, requested);
    QFETCH(QMessageBox::StandardButton, expectedDefault);

    Seen seen;
    recordAndClose(seen);
    QAutoCloseMessageBox::showMessage(
        nullptr, QMessageBox::Question, QStringLiteral("Title"), QStringLiteral("Text"), buttons, requested, 5);
    QVERIFY(seen.appeared);
    QCOMPARE(seen.defaultButton, expectedDefault);
    QCOMPARE(seen.counting, expectedDefault != QMessageBox::NoButton);
    const int counted = seen.buttonTexts.filter(QStringLiteral(" (5)")).size();
    QCOMPARE(counted, expectedDefault != QMessageBox::NoButton ? 1 : 0);
}

void TestAutoCloseMessageBox::showMessageClosesByItself()
{
    Seen seen;
    testsupport::whenModalAppears([&seen](QWidget *modal) {
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            seen.appeared = true;
            seen.buttonTexts << box->defaultButton()->text();
        }
    });
    const Watchdog watchdog(5000);
    const auto result = QAutoCloseMessageBox::showMessage(nullptr, QMessageBox::Information, QStringLiteral("Title"),
        QStringLiteral("Done"), QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::NoButton, 1);
    QVERIFY(seen.appeared);
    QCOMPARE(seen.buttonTexts, QStringList {QStringLiteral("OK (1)")});
    QCOMPARE(result, QMessageBox::Ok);
}

enum class Wrapper {
    CriticalTimeoutFirst,
    InformationTimeoutFirst,
    QuestionTimeoutFirst,
    WarningTimeoutFirst,
    CriticalTimeoutLast,
    InformationTimeoutLast,
    QuestionTimeoutLast,
    WarningTimeoutLast,
    CriticalTextFirst,
    InformationTextFirst,
    QuestionTextFirst,
    WarningTextFirst,
};
Q_DECLARE_METATYPE(Wrapper)

void TestAutoCloseMessageBox::wrappers_data()
{
    QTest::addColumn<Wrapper>("wrapper");
    QTest::addColumn<QMessageBox::Icon>("icon");
    QTest::addColumn<bool>("withParent");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("expectedTitle");

    const QString own = QStringLiteral("Own title");
    const QString parents = QStringLiteral("Parent title");
    using B = QMessageBox;
    QTest::newRow("critical, timeout first") << Wrapper::CriticalTimeoutFirst << B::Critical << true << own << own;
    QTest::newRow("information, timeout first")
        << Wrapper::InformationTimeoutFirst << B::Information << true << own << own;
    QTest::newRow("question, timeout first") << Wrapper::QuestionTimeoutFirst << B::Question << true << own << own;
    QTest::newRow("warning, timeout first") << Wrapper::WarningTimeoutFirst << B::Warning << true << own << own;
    QTest::newRow("timeout first keeps an empty title")
        << Wrapper::InformationTimeoutFirst << B::Information << true << QString() << QString();
    QTest::newRow("critical, timeout last") << Wrapper::CriticalTimeoutLast << B::Critical << true << own << own;
    QTest::newRow("information, timeout last")
        << Wrapper::InformationTimeoutLast << B::Information << true << own << own;
    QTest::newRow("question, timeout last") << Wrapper::QuestionTimeoutLast << B::Question << true << own << own;
    QTest::newRow("warning, timeout last") << Wrapper::WarningTimeoutLast << B::Warning << true << own << own;
    QTest::newRow("critical, text first") << Wrapper::CriticalTextFirst << B::Critical << true << QString() << parents;
    QTest::newRow("information, text first")
        << Wrapper::InformationTextFirst << B::Information << true << QString() << parents;
    QTest::newRow("question, text first") << Wrapper::QuestionTextFirst << B::Question << true << QString() << parents;
    QTest::newRow("warning, text first") << Wrapper::WarningTextFirst << B::Warning << true << QString() << parents;
    QTest::newRow("text first keeps its own title") << Wrapper::WarningTextFirst << B::Warning << true << own << own;
    QTest::newRow("text first without parent")
        << Wrapper::InformationTextFirst << B::Information << false << QString() << QString();
}

void TestAutoCloseMessageBox::wrappers()
{
    QFETCH(Wrapper, wrapper);
    QFETCH(QMessageBox::Icon, icon);
    QFETCH(bool, withParent);
    QFETCH(QString, title);
    QFETCH(QString, expectedTitle);

    QWidget window;
    window.setWindowTitle(QStringLiteral("Parent title"));
    QWidget *parent = withParent ? &window : nullptr;
    const QString text = QStringLiteral("Message");
    const auto ok = QMessageBox::Ok;
    const auto none = QMessageBox::NoButton;
    const int timeout = 7;

    Seen seen;
    recordAndClose(seen, ok);
    QMessageBox::StandardButton result = none;
    switch (wrapper) {
    case Wrapper::CriticalTimeoutFirst:
        result = QAutoCloseMessageBox::critical(timeout, parent, title, text, ok, none);
        break;
    case Wrapper::InformationTimeoutFirst:
        result = QAutoCloseMessageBox::information(timeout, parent, title, text, ok, none);
        break;
    case Wrapper::QuestionTimeoutFirst:
        result = QAutoCloseMessageBox::question(timeout, parent, title, text, ok, none);
        break;
    case Wrapper::WarningTimeoutFirst:
        result = QAutoCloseMessageBox::warning(timeout, parent, title, text, ok, none);
        break;
    case Wrapper::CriticalTimeoutLast:
        result = QAutoCloseMessageBox::critical(parent, title, text, ok, none, timeout);
        break;
    case Wrapper::InformationTimeoutLast:
        result = QAutoCloseMessageBox::information(parent, title, text, ok, none, timeout);
        break;
    case Wrapper::QuestionTimeoutLast:
        result = QAutoCloseMessageBox::question(parent, title, text, ok, none, timeout);
        break;
    case Wrapper::WarningTimeoutLast:
        result = QAutoCloseMessageBox::warning(parent, title, text, ok, none, timeout);
        break;
    case Wrapper::CriticalTextFirst:
        result = QAutoCloseMessageBox::critical(parent, text, timeout, title, ok, none);
        break;
    case Wrapper::InformationTextFirst:
        result = QAutoCloseMessageBox::information(parent, text, timeout, title, ok, none);
        break;
    case Wrapper::QuestionTextFirst:
        result = QAutoCloseMessageBox::question(parent, text, timeout, title, ok, none);
        break;
    case Wrapper::WarningTextFirst:
        result = QAutoCloseMessageBox::warning(parent, text, timeout, title, ok, none);
        break;
    }

    QVERIFY(seen.appeared);
    QCOMPARE(seen.icon, icon);
    QCOMPARE(seen.title, expectedTitle);
    QCOMPARE(seen.text, text);
    QCOMPARE(seen.buttonTexts, QStringList {QStringLiteral("OK (7)")});
    QCOMPARE(result, QMessageBox::Ok);
}

VELTRANO_TEST_MAIN(TestAutoCloseMessageBox)
#include "tst_autoclosemessagebox.moc"
