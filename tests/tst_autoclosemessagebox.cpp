#include "testsupport.h"

#include <qautoclosemessagebox.h>

#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

#include <functional>

using Box = QAutoCloseMessageBox;
using B = QMessageBox::StandardButton;

namespace {

QTimer *countdownTimer(Box &box)
{
    return box.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
}

// Notes the icon, title, text and default button's text of the next box to come up, then
// closes it with OK, or with its first button.
void describeAndClose(QStringList &seen)
{
    testsupport::whenModalAppears([&seen](QWidget *modal) {
        auto *box = qobject_cast<Box *>(modal);
        if (!box) {
            modal->close();
            return;
        }
        const QPushButton *byDefault = box->defaultButton();
        seen = QStringList {
            QString::number(box->icon()), box->windowTitle(), box->text(), byDefault ? byDefault->text() : QString()};
        (box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok) : box->buttons().first())->click();
    });
}

} // namespace

class TestAutoCloseMessageBox : public QObject
{
    Q_OBJECT

private slots:
    void countsDownOnTheDefaultButton()
    {
        Box box(QMessageBox::Information, QString(), QString(), B::Ok | B::Cancel);
        box.setDefaultButton(B::Ok);
        QSignalSpy changed(&box, &Box::timeoutChanged);
        box.setTimeout(0);
        box.setTimeout(5);
        box.setTimeout(5);
        QVERIFY(changed.count() == 1 && changed.at(0).at(0) == 5);
        QTimer *timer = countdownTimer(box);
        QVERIFY(timer && timer->interval() == 1000 && !timer->isSingleShot());
        QSignalSpy finished(&box, &QDialog::finished);

        box.show();
        for (int left = 5; left > 0; --left) {
            QCOMPARE(box.defaultButton()->text(), QStringLiteral("OK (%1)").arg(left));
            QVERIFY(box.remaining() == left && box.isVisible() && timer->isActive());
            QMetaObject::invokeMethod(&box, "d_timeout"); // a second, without waiting for it
        }
        // Closed as by a click, which stops the timer.
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(box.clickedButton() == box.button(B::Ok) && !timer->isActive());
    }

    // Without a timeout, or without a default button to click, it is a plain message box.
    void neverCountsWithoutTimeoutOrDefault()
    {
        for (const bool withDefault : {true, false}) {
            Box box(QMessageBox::Information, QString(), QString(), B::Ok);
            withDefault ? box.setDefaultButton(B::Ok) : box.setTimeout(5);
            box.show();
            QMetaObject::invokeMethod(&box, "d_timeout");
            QCOMPARE(box.button(B::Ok)->text(), QStringLiteral("OK"));
            QVERIFY(box.isVisible() && !countdownTimer(box)->isActive());
        }
    }

    // The requested button, or else the first with the accept role; the countdown runs on it.
    void showMessagePicksDefault()
    {
        const auto defaultOf = [](QMessageBox::StandardButtons buttons, B requested) {
            QStringList seen;
            describeAndClose(seen);
            Box::showMessage(nullptr, QMessageBox::Question, QString(), QString(), buttons, requested, 5);
            return seen.value(3, QStringLiteral("no box"));
        };
        QCOMPARE(defaultOf(B::Cancel | B::Save | B::Open, B::NoButton), QStringLiteral("Save (5)"));
        QCOMPARE(defaultOf(B::Yes | B::No, B::NoButton), QString());
        QCOMPARE(defaultOf(B::Ok | B::Cancel, B::Cancel), QStringLiteral("Cancel (5)"));
        QCOMPARE(defaultOf(B::Ok, B::Cancel), QString());
    }

    void showMessageClosesByItself()
    {
        QObject guard; // a countdown that never ends fails the test instead of hanging it
        QTimer::singleShot(5000, &guard, [] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                box->done(-1);
        });
        QCOMPARE(
            Box::showMessage(nullptr, QMessageBox::Information, QString(), QString(), B::Ok | B::Cancel, {}, 1), B::Ok);
    }

    // Twelve wrappers: four icons in three argument orders. Only the text-first ones put the
    // parent's title in place of an empty one.
    void wrappers()
    {
        using Buttons = QMessageBox::StandardButtons;
        const struct
        {
            QMessageBox::Icon icon;
            B (*timeoutFirst)(int, QWidget *, const QString &, const QString &, Buttons, B);
            B (*timeoutLast)(QWidget *, const QString &, const QString &, Buttons, B, int);
            B (*textFirst)(QWidget *, const QString &, int, const QString &, Buttons, B);
        } kinds[] = {{QMessageBox::Critical, &Box::critical, &Box::critical, &Box::critical},
            {QMessageBox::Information, &Box::information, &Box::information, &Box::information},
            {QMessageBox::Question, &Box::question, &Box::question, &Box::question},
            {QMessageBox::Warning, &Box::warning, &Box::warning, &Box::warning}};
        QWidget window;
        window.setWindowTitle(QStringLiteral("Parent title"));
        const QString own = QStringLiteral("Own title"), text = QStringLiteral("Message");
        const auto check = [&](QMessageBox::Icon icon, const QString &title, const std::function<B()> &call) {
            QStringList seen;
            describeAndClose(seen);
            QCOMPARE(call(), B::Ok);
            QCOMPARE(seen, (QStringList {QString::number(icon), title, text, QStringLiteral("OK (7)")}));
        };
        for (const auto &w : kinds) {
            check(w.icon, own, [&] { return w.timeoutFirst(7, &window, own, text, B::Ok, B::NoButton); });
            check(w.icon, QString(), [&] { return w.timeoutLast(&window, QString(), text, B::Ok, B::NoButton, 7); });
            check(w.icon, window.windowTitle(), [&] { return w.textFirst(&window, text, 7, QString(), B::Ok, {}); });
        }
        check(QMessageBox::Warning, own, [&] { return Box::warning(&window, text, 7, own); });
        check(QMessageBox::Warning, QString(), [&] { return Box::warning(nullptr, text, 7); });
    }
};

VELTRANO_TEST_MAIN(TestAutoCloseMessageBox)
#include "tst_autoclosemessagebox.moc"
