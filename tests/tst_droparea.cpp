#include "testsupport.h"

#include <darktheme.h>
#include <droparea.h>
#include <settingskeys.h>

#include <QFileDialog>
#include <QMimeData>
#include <QSignalSpy>

namespace {

// Plays a drag the way the window system does: the drop follows only an accepted enter.
bool dragAndDrop(DropArea &area, const QList<QUrl> &urls)
{
    QMimeData data;
    urls.isEmpty() ? data.setText(QStringLiteral("just text")) : data.setUrls(urls);
    QDragEnterEvent enter(area.rect().center(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&area, &enter);
    QDropEvent drop(area.rect().center(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    if (enter.isAccepted())
        QCoreApplication::sendEvent(&area, &drop);
    return enter.isAccepted();
}

bool dropFile(DropArea &area, const QString &path)
{
    return dragAndDrop(area, {QUrl::fromLocalFile(path)});
}

// Double-clicks the area and picks `path` in the file dialog, or cancels it when `path` is
// empty. Returns the dialog's title, folder and name filters.
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
    QMouseEvent click(QEvent::MouseButtonDblClick, area.rect().center(), Qt::LeftButton, Qt::LeftButton, {});
    QCoreApplication::sendEvent(&area, &click);
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

    // Several files, a web link or no URLs at all: refused, nothing announced or remembered.
    void refusesAllButOneLocalFile_data()
    {
        QTest::addColumn<QList<QUrl>>("urls");
        const QUrl file = QUrl::fromLocalFile(QStringLiteral("/tmp/fw.dfu"));
        QTest::newRow("two files") << QList<QUrl> {file, file};
        QTest::newRow("web link") << QList<QUrl> {QUrl(QStringLiteral("http://example.com/fw.dfu"))};
        QTest::newRow("no URLs") << QList<QUrl>();
    }

    void refusesAllButOneLocalFile()
    {
        QFETCH(QList<QUrl>, urls);
        DropArea area;
        QSignalSpy changed(&area, &DropArea::changed);
        QVERIFY(!dragAndDrop(area, urls));
        QVERIFY(changed.isEmpty() && !area.hasFile() && QSettings().allKeys().isEmpty());
    }

    // Any single local file is taken, whatever its extension. The updater's packages and the
    // manager's binaries are remembered apart; a later drop replaces the earlier file. The shown
    // text belongs to the area: the file's name until the area is cleared, then the welcome.
    void dropShowsAndRemembers()
    {
        DropArea packages, binaries;
        binaries.fileExt = QStringLiteral("bin");
        QSignalSpy changed(&packages, &DropArea::changed);
        const QString second = m_dir.filePath(QStringLiteral("second.img"));
        QVERIFY(dropFile(packages, m_dir.filePath(QStringLiteral("first.img"))));
        QVERIFY(dropFile(binaries, m_dir.filePath(QStringLiteral("fw.bin"))) && dropFile(packages, second));
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.at(1).at(0).toString(), second);
        QVERIFY(packages.hasFile());
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
        const QString earlier = m_dir.filePath(QStringLiteral("earlier.bin"));
        const QString picked = m_dir.filePath(QStringLiteral("picked.bin"));
        QVERIFY(QFile(earlier).open(QIODevice::WriteOnly) && QFile(picked).open(QIODevice::WriteOnly));
        QSettings().setValue(area.settingsKey(), earlier);
        QSignalSpy changed(&area, &DropArea::changed);

        QVERIFY(!doubleClick(area, QString()).isEmpty());
        QVERIFY(changed.isEmpty() && !area.hasFile() && area.acceptDrops());
        QCOMPARE(remembered("BIN"), earlier);

        // One title for every kind; the dialog opens where the last file was.
        const QStringList shown {QStringLiteral("Select DFU File"), QFileInfo(earlier).absolutePath(), area.fileType};
        QCOMPARE(doubleClick(area, picked), shown);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toString(), picked);
        QCOMPARE(remembered("BIN"), picked);
        QVERIFY(area.hasFile() && area.text() == area.welcome());

        // A file picked in the dialog closes the area to drops until it is cleared.
        QVERIFY(!dropFile(area, earlier));
        area.clear();
        QVERIFY(dropFile(area, earlier));

        // Owners check the announced file and clear the area when they refuse it; that must
        // leave the area empty and open to drops, whichever way the file came.
        connect(&area, &DropArea::changed, &area, &DropArea::clear);
        QVERIFY(dropFile(area, picked));
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
