#include "testsupport.h"

#include <darktheme.h>
#include <droparea.h>
#include <qautoclosemessagebox.h>
#include <qmaterialicon.h>
#include <recordformat.h>
#include <recordspage.h>
#include <recordstore.h>
#include <settingskeys.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QTableView>

#include <tuple>

using Box = QAutoCloseMessageBox;
using B = QMessageBox::StandardButton;

namespace {

// Plays a drag the way the window system does: the drop follows only an accepted enter. The
// file is announced only once the drop has returned to the program it came from.
bool drop(DropArea &area, const QStringList &urls)
{
    QSignalSpy announced(&area, &DropArea::changed);
    QMimeData data;
    QList<QUrl> list;
    for (const QString &url : urls)
        list << QUrl::fromUserInput(url);
    urls.isEmpty() ? data.setText(QStringLiteral("just text")) : data.setUrls(list);
    QDragEnterEvent enter(area.rect().center(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&area, &enter);
    QDropEvent dropped(area.rect().center(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    if (!enter.isAccepted())
        return false;
    QCoreApplication::sendEvent(&area, &dropped);
    return announced.isEmpty() && (dropped.isAccepted() ? announced.wait(1000) : true);
}

// Picks `path` in the file dialog, or cancels it; returns the dialog's title, folder and filters.
QStringList doubleClick(DropArea &area, const QString &path)
{
    QStringList shown;
    testsupport::whenModalAppears([&shown, path](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (dialog)
            shown << dialog->windowTitle() << dialog->directory().absolutePath() << dialog->nameFilters();
        if (!dialog || path.isEmpty()) {
            modal->close();
            return;
        }
        // The file name field keeps what is typed into it while it has the focus.
        if (QWidget *focus = dialog->focusWidget())
            focus->clearFocus();
        dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->accept(); // protected in QFileDialog
    });
    QTest::mouseDClick(&area, Qt::LeftButton);
    return shown;
}

QString remembered(const char *kind)
{
    return QSettings().value(SettingsKeys::dropAreaFilePrefix + QLatin1String(kind)).toString();
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
        (box->button(B::Ok) ? box->button(B::Ok) : box->buttons().first())->click();
    });
}

const QColor black(Qt::black), green(Qt::green), red(Qt::red);
// Palette colours of the test run, unlike any the icons use of their own.
const QColor activeButtonText(0x65, 0x43, 0x21), disabledButtonText(0x12, 0x34, 0x56);
constexpr ushort home = 0xe88a;

// The glyph as the icon should look: drawn straight with the font, centred; nothing for glyph 0.
QImage reference(ushort glyph, const QColor &color, QSize size = {24, 24}, int pixelSize = 19)
{
    QPixmap pix(size);
    pix.fill(Qt::transparent);
    QPainter painter(&pix);
    QFont font(QStringLiteral("Material Icons"));
    font.setPixelSize(pixelSize);
    painter.setFont(font);
    painter.setPen(color);
    if (glyph)
        painter.drawText(pix.rect(), Qt::AlignCenter, QString(QChar(glyph)));
    painter.end();
    return pix.toImage();
}

} // namespace

class TestWidgets : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QPalette palette = QApplication::palette();
        palette.setColor(QPalette::Active, QPalette::ButtonText, activeButtonText);
        palette.setColor(QPalette::Disabled, QPalette::ButtonText, disabledButtonText);
        QApplication::setPalette(palette);
        QVERIFY2(reference(home, black) != reference(0, black), "the font does not draw the home glyph");
    }
    void init() { QSettings().clear(); }
    void cleanupTestCase() { setDarkThemeProbe(nullptr); }

    // One local file of any extension is taken, and remembered apart for packages and binaries;
    // anything else is refused unannounced. The file's name shows until the area is cleared.
    void dropShowsAndRemembers()
    {
        DropArea packages, binaries;
        binaries.fileExt = QStringLiteral("bin");
        QSignalSpy changed(&packages, &DropArea::changed);
        for (const QStringList &urls : {QStringList {"/tmp/a.dfu", "/tmp/b.dfu"}, {"http://a.b/fw.dfu"}, {}})
            QVERIFY(!drop(packages, urls));
        QVERIFY(changed.isEmpty() && !packages.hasFile() && QSettings().allKeys().isEmpty());
        const QString second = m_dir.filePath(QStringLiteral("second.img"));
        QVERIFY(drop(packages, {m_dir.filePath(QStringLiteral("first.img"))}));
        QVERIFY(drop(binaries, {m_dir.filePath(QStringLiteral("fw.bin"))}) && drop(packages, {second}));
        QVERIFY(changed.count() == 2 && changed.at(1).at(0) == second && packages.hasFile());
        QCOMPARE(remembered("DFU"), second);
        QCOMPARE(remembered("BIN"), m_dir.filePath(QStringLiteral("fw.bin")));

        packages.setWelcome(QStringLiteral("Later"));
        packages.setText(QStringLiteral("direct"));
        QCOMPARE(packages.text(), QStringLiteral("second.img"));
        packages.clear();
        QVERIFY(QMetaObject::invokeMethod(&packages, "setText", Q_ARG(QString, QStringLiteral("meta"))));
        QCOMPARE(packages.text(), QStringLiteral("Later"));
        packages.setWelcome(QStringLiteral("Drop it"));
        QCOMPARE(packages.text(), QStringLiteral("Drop it"));
    }

    void doubleClickPicksThroughDialog()
    {
        DropArea area;
        area.fileExt = QStringLiteral("bin");
        area.fileType = QStringLiteral("Binary files (*.bin)");
        // The dialog takes only files that exist.
        const QString earlier = m_dir.filePath(QStringLiteral("earlier.bin")), picked = m_dir.filePath("picked.bin");
        QVERIFY(QFile(earlier).open(QIODevice::WriteOnly) && QFile(picked).open(QIODevice::WriteOnly));
        QSettings().setValue(area.settingsKey(), earlier);
        QSignalSpy changed(&area, &DropArea::changed);

        QVERIFY(!doubleClick(area, QString()).isEmpty());
        QVERIFY(changed.isEmpty() && !area.hasFile() && area.acceptDrops());
        QCOMPARE(remembered("BIN"), earlier);

        // One title for every kind; the dialog opens where the last file was.
        const QStringList shown {QStringLiteral("Select DFU File"), QFileInfo(earlier).absolutePath(), area.fileType};
        QCOMPARE(doubleClick(area, picked), shown);
        QVERIFY(changed.count() == 1 && changed.at(0).at(0) == picked);
        QCOMPARE(remembered("BIN"), picked);
        QVERIFY(area.hasFile() && area.text() == area.welcome());

        // A file picked in the dialog closes the area to drops until it is cleared.
        QVERIFY(!drop(area, {earlier}));
        area.clear();
        QVERIFY(drop(area, {earlier}));

        // Owners check the announced file and clear the area when they refuse it; that must
        // leave the area empty and open to drops, whichever way the file came.
        connect(&area, &DropArea::changed, &area, &DropArea::clear);
        QVERIFY(drop(area, {picked}));
        QVERIFY(!area.hasFile() && area.text() == area.welcome());
        doubleClick(area, picked);
        QVERIFY(!area.hasFile() && area.acceptDrops());
        QCOMPARE(changed.count(), 4);
    }

    // Lower left: at most 128 pixels, a third of the width or half the height, rounded down.
    void symbolRect()
    {
        QCOMPARE(DropArea::symbolRect({600, 300}), QRect(8, 163, 128, 128));
        QCOMPARE(DropArea::symbolRect({300, 400}), QRect(8, 291, 100, 100));
        QCOMPARE(DropArea::symbolRect({600, 100}), QRect(8, 41, 50, 50));
        QCOMPARE(DropArea::symbolRect({100, 100}), QRect(8, 58, 33, 33));
    }

    void panelFollowsTheme()
    {
        for (const bool dark : {false, true}) {
            setDarkThemeProbe([dark] { return dark; });
            DropArea area;
            setDarkThemeProbe([dark] { return !dark; }); // read once, at construction
            QPalette palette = area.palette();
            palette.setColor(QPalette::Base, Qt::white);
            area.setPalette(palette);
            area.resize(300, 150);
            const QImage image = area.grab().toImage();
            // The translucent panel over the white base: 0xa0 of grey 48 or 214, the rest white.
            const int grey = ((dark ? 48 : 214) * 0xa0 + 255 * (255 - 0xa0)) / 255;
            const QColor panel = image.pixelColor(image.width() - 20, 20);
            QVERIFY2(qAbs(panel.red() - grey) <= 2 && panel.red() == panel.green() && panel.green() == panel.blue(),
                qPrintable(panel.name()));
            // Outside the rounded corner the base shows through.
            QCOMPARE(image.pixelColor(0, 0), QColor(Qt::white));
        }
    }

    void countsDownOnTheDefaultButton()
    {
        Box box(QMessageBox::Information, QString(), QString(), B::Ok | B::Cancel);
        box.setDefaultButton(B::Ok);
        QSignalSpy changed(&box, &Box::timeoutChanged);
        for (const int seconds : {0, 5, 5})
            box.setTimeout(seconds);
        QVERIFY(changed.count() == 1 && changed.at(0).at(0) == 5);
        QTimer *timer = box.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
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
            QVERIFY(box.isVisible() && !box.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly)->isActive());
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

    // The off name is home. Checked shows the on glyph in green; disabled and selected take the
    // palette; an unknown name draws nothing.
    void paintsGlyphInModeColour()
    {
        using I = QIcon;
        using Row = std::tuple<const char *, QColor, I::Mode, I::State, ushort, QColor>;
        for (const auto &[onName, color, mode, state, glyph, expected] : std::initializer_list<Row> {
                 {"home", QColor(), I::Normal, I::Off, home, black}, {"home", QColor(), I::Active, I::On, home, green},
                 {"home", red, I::Disabled, I::On, home, disabledButtonText},
                 {"home", red, I::Selected, I::On, home, activeButtonText},
                 {"sync", red, I::Normal, I::On, 0xe627, green}, {"sync", red, I::Normal, I::Off, home, red},
                 {"no_such", red, I::Normal, I::On, 0, red}}) {
            const QIcon icon = QMaterialIcon::icon(QLatin1String(onName), QStringLiteral("home"), color);
            QVERIFY2(icon.pixmap(QSize(24, 24), mode, state).toImage() == reference(glyph, expected), onName);
        }
    }

    // Rounded down, from the height alone. The neighbouring sizes look different, so the
    // comparison pins the size.
    void fontIsFourFifthsOfHeight()
    {
        for (const auto &[size, pixelSize] :
            {std::pair {QSize(24, 24), 19}, {QSize(32, 32), 26}, {QSize(48, 24), 19}, {QSize(24, 40), 32}}) {
            const QImage painted = QMaterialIcon::icon(QStringLiteral("home")).pixmap(size).toImage();
            QCOMPARE(painted, reference(home, black, size, pixelSize));
            QVERIFY(painted != reference(home, black, size, pixelSize - 1)
                && painted != reference(home, black, size, pixelSize + 1));
        }
    }

    // The table already holds home = 1: lines read replace it, lines skipped leave it.
    void parseCodepoints()
    {
        for (auto [input, expected] : std::initializer_list<std::pair<QByteArray, const char *>> {
                 {"   home     e88a   \n", "home=e88a"}, // spaces around and between
                 {"home e88a extra\nsync e627\n", "home=1 sync=e627"}, {"home\nsync e627\n", "home=1 sync=e627"},
                 {"home e88a\n\nsync e627\n", "home=e88a sync=e627"}, // an empty line does not stop
                 {"home xyz\n", "home=0"}, {QByteArray("home e88a\n\0sync e627\ninfo e88e\n", 30), "home=e88a"},
                 {"home e88a\nsync e627", "home=e88a sync=e627"}}) {
            QHash<QString, uint> table {{QStringLiteral("home"), 1}};
            QBuffer buffer(&input);
            QVERIFY(buffer.open(QIODevice::ReadOnly));
            QMaterialIcon::parseCodepoints(buffer, table);
            QStringList entries;
            for (auto it = table.cbegin(); it != table.cend(); ++it)
                entries << it.key() + QLatin1Char('=') + QString::number(it.value(), 16);
            entries.sort();
            QCOMPARE(entries.join(QLatin1Char(' ')), QLatin1String(expected));
        }
    }

    // The run loop reloads the font for each new application object; the names stay.
    void reloadingKeepsAndRefreshesNames()
    {
        QMaterialIcon *registry = QMaterialIcon::instance();
        registry->codepoints.insert(QStringLiteral("test_extra_glyph"), 0x1234);
        registry->codepoints.insert(QStringLiteral("home"), 0x1);
        registry->unloadFont();
        QVERIFY(QMaterialIcon::icon(QStringLiteral("home")).isNull());

        registry->loadFont();
        QCOMPARE(registry->codepoints.take(QStringLiteral("test_extra_glyph")), 0x1234u);
        bool found = true;
        QVERIFY(registry->codepoint(QStringLiteral("no_such_glyph"), &found).isNull() && !found);
        QCOMPARE(QMaterialIcon::icon(QStringLiteral("home")).pixmap(QSize(24, 24)).toImage(), reference(home, black));
    }

    // Newest first, narrowed by the filter field as it is typed in, and exported as shown: the
    // CSV holds the rows of the table, in its order. What a device said shows as the characters
    // it is. A store that cannot be read is said in the page.
    void recordsPage()
    {
        const QString path = m_dir.filePath(QStringLiteral("records.sqlite"));
        {
            RecordStore store(path);
            QVERIFY2(store.open(), qPrintable(store.error()));
            const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-60);
            const QStringList jobs {"flash", "upload", "flash"};
            for (int i = 0; i < jobs.size(); ++i) {
                JobRecord record = JobRecord::begin(jobs[i], QStringLiteral("updater"));
                record.started = start.addSecs(i);
                record.uuid = QStringLiteral("UUID%1").arg(i);
                record.description = i == 2 ? QStringLiteral("<b>Kestrane</b>\x1b[31m\nbootloader") : QString();
                record.finish(QLatin1String(JobRecord::succeeded), QStringLiteral("done, \"as asked\""));
                QVERIFY2(store.add(record), qPrintable(store.error()));
            }
        }
        {
            RecordsPage page;
            page.setPath(path);
            page.show();
            const QAbstractItemModel *model = testsupport::child<QTableView>(&page, "recordsTable")->model();
            const auto cell = [&](int row, const char *column, int role = Qt::DisplayRole) {
                const int at = RecordsPage::shownColumns().indexOf(QLatin1String(column));
                return model->index(row, at).data(role).toString();
            };
            QCOMPARE(model->rowCount(), 3);
            QCOMPARE(cell(0, "uuid") + cell(1, "uuid") + cell(2, "uuid"), QStringLiteral("UUID2UUID1UUID0"));
            QCOMPARE(cell(0, "started"), page.records().first().started.toLocalTime().toString("yyyy-MM-dd HH:mm:ss"));
            QCOMPARE(cell(0, "description"), QStringLiteral("<b>Kestrane</b>\u241b[31m\u240abootloader"));

            testsupport::child<QLineEdit>(&page, "recordsFilter")->setText(QStringLiteral("flash"));
            QCOMPARE(model->rowCount(), 2);
            const QString csvPath = m_dir.filePath(QStringLiteral("shown.csv"));
            QVERIFY(page.exportCsv(csvPath));
            QFile csvFile(csvPath);
            QVERIFY(csvFile.open(QIODevice::ReadOnly));
            const QList<QStringList> rows = RecordFormat::parseCsv(csvFile.readAll());
            QCOMPARE(rows.size(), 1 + model->rowCount());
            for (int row = 0; row < model->rowCount(); ++row) {
                for (int column = 0; column < model->columnCount(); ++column) {
                    const QString name = model->headerData(column, Qt::Horizontal, Qt::UserRole).toString();
                    QCOMPARE(rows[row + 1].value(rows[0].indexOf(name)),
                        model->index(row, column).data(Qt::UserRole).toString());
                }
            }
            QCOMPARE(rows[1].value(rows[0].indexOf("description")), page.records().first().description);
            QVERIFY(!page.exportCsv(m_dir.filePath(QStringLiteral("no such folder/shown.csv"))));
            QVERIFY(page.statusText().startsWith("Cannot write"));

            const QString broken = m_dir.filePath(QStringLiteral("broken.sqlite"));
            QFile junk(broken);
            QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write(QByteArray(4096, 'x')) == 4096);
            junk.close();
            page.setPath(broken);
            page.refresh();
            QCOMPARE(model->rowCount(), 0);
            QVERIFY2(page.statusText().startsWith("cannot open records"), qPrintable(page.statusText()));
        }
        // The filter's clear button fades in through an animation of Qt's own that outlives the page
        // and deletes itself only once it has run its course (a few hundred ms).
        QTest::qWait(500);
    }
};

VELTRANO_TEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
