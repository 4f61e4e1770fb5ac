#include "testsupport.h"

#include <darktheme.h>
#include <droparea.h>
#include <settingskeys.h>

#include <QFileDialog>
#include <QMimeData>
#include <QSignalSpy>

namespace {

// Plays a drag the way the window system does: the drop follows only an accepted enter.
bool drop(DropArea &area, const QStringList &urls)
{
    QMimeData data;
    QList<QUrl> list;
    for (const QString &url : urls)
        list << QUrl::fromUserInput(url);
    urls.isEmpty() ? data.setText(QStringLiteral("just text")) : data.setUrls(list);
    QDragEnterEvent enter(area.rect().center(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&area, &enter);
    QDropEvent dropped(area.rect().center(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    if (enter.isAccepted())
        QCoreApplication::sendEvent(&area, &dropped);
    return enter.isAccepted();
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

} // namespace

class TestDropArea : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
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
};

VELTRANO_TEST_MAIN(TestDropArea)
#include "tst_droparea.moc"
