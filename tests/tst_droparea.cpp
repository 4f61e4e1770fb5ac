#include "testsupport.h"

#include <darktheme.h>
#include <droparea.h>
#include <settingskeys.h>

#include <QFileDialog>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

namespace {

QMimeData *urlsData(const QList<QUrl> &urls)
{
    auto *data = new QMimeData;
    data->setUrls(urls);
    return data;
}

// Plays a drag over the area the way the window system does: enter, then the
// drop only when the enter was accepted. Returns whether the enter was accepted.
bool dragAndDrop(DropArea &area, const QMimeData *data)
{
    const QPoint centre = area.rect().center();
    QDragEnterEvent enter(centre, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&area, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(centre, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&area, &drop);
    return true;
}

bool dropFile(DropArea &area, const QString &path)
{
    const std::unique_ptr<QMimeData> data(urlsData({QUrl::fromLocalFile(path)}));
    return dragAndDrop(area, data.get());
}

void doubleClick(DropArea &area)
{
    QMouseEvent event(
        QEvent::MouseButtonDblClick, area.rect().center(), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&area, &event);
}

// Chooses the file in the open dialog and confirms. The file name field keeps
// what is typed into it while it has the focus, so the choice is made from outside it.
void pickInDialog(QFileDialog *dialog, const QString &path)
{
    if (QWidget *focus = dialog->focusWidget())
        focus->clearFocus();
    dialog->selectFile(path);
    static_cast<QDialog *>(dialog)->accept(); // protected in QFileDialog
}

QVariant remembered(const QString &key)
{
    return QSettings().value(key);
}

} // namespace

class TestDropArea : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanupTestCase();

    void acceptsOneLocalFileOnly_data();
    void acceptsOneLocalFileOnly();
    void dropRemembersAndAnnounces_data();
    void dropRemembersAndAnnounces();
    void shownTextBelongsToTheArea();
    void doubleClickPicksThroughDialog_data();
    void doubleClickPicksThroughDialog();
    void cancelledDialogChangesNothing();
    void ownerClearingOnAnnouncementWins();
    void symbolRect_data();
    void symbolRect();
    void panelFollowsTheme_data();
    void panelFollowsTheme();

private:
    QString makeFile(const QString &name);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestDropArea::init()
{
    QSettings().clear();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestDropArea::cleanupTestCase()
{
    setDarkThemeProbe(nullptr);
}

QString TestDropArea::makeFile(const QString &name)
{
    QFile file(m_dir->filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("data\n");
    return file.fileName();
}

void TestDropArea::acceptsOneLocalFileOnly_data()
{
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<bool>("accepted");

    const QUrl first = QUrl::fromLocalFile(QStringLiteral("/tmp/first.dfu"));
    const QUrl second = QUrl::fromLocalFile(QStringLiteral("/tmp/second.dfu"));
    QTest::newRow("one local file") << QList<QUrl> {first} << true;
    QTest::newRow("one text file, extension not checked")
        << QList<QUrl> {QUrl::fromLocalFile(QStringLiteral("/tmp/notes.txt"))} << true;
    QTest::newRow("two local files") << QList<QUrl> {first, second} << false;
    QTest::newRow("web link") << QList<QUrl> {QUrl(QStringLiteral("http://example.com/fw.dfu"))} << false;
    QTest::newRow("no URLs") << QList<QUrl>() << false;
}

void TestDropArea::acceptsOneLocalFileOnly()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(bool, accepted);

    DropArea area;
    QSignalSpy changed(&area, &DropArea::changed);
    const std::unique_ptr<QMimeData> data(urls.isEmpty() ? new QMimeData : urlsData(urls));
    if (urls.isEmpty())
        data->setText(QStringLiteral("just text"));

    QCOMPARE(dragAndDrop(area, data.get()), accepted);
    QCOMPARE(changed.count(), accepted ? 1 : 0);
    QCOMPARE(area.hasFile(), accepted);
    QCOMPARE(remembered(area.settingsKey()).isValid(), accepted);
}

void TestDropArea::dropRemembersAndAnnounces_data()
{
    QTest::addColumn<QString>("fileExt");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("otherKey");

    const QString dfuKey = SettingsKeys::dropAreaFilePrefix + QStringLiteral("DFU");
    const QString binKey = SettingsKeys::dropAreaFilePrefix + QStringLiteral("BIN");
    QTest::newRow("default kind") << QString() << dfuKey << binKey;
    QTest::newRow("binary kind") << QStringLiteral("bin") << binKey << dfuKey;
}

void TestDropArea::dropRemembersAndAnnounces()
{
    QFETCH(QString, fileExt);
    QFETCH(QString, key);
    QFETCH(QString, otherKey);

    DropArea area;
    if (!fileExt.isEmpty())
        area.fileExt = fileExt;
    QCOMPARE(area.settingsKey(), key);
    QSignalSpy changed(&area, &DropArea::changed);

    const QString first = makeFile(QStringLiteral("first.img"));
    QVERIFY(dropFile(area, first));
    QCOMPARE(area.text(), QStringLiteral("first.img"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toString(), first);
    QCOMPARE(remembered(key).toString(), first);
    QVERIFY(!remembered(otherKey).isValid());

    // Still open to drops; a second file replaces the first.
    const QString second = makeFile(QStringLiteral("second.img"));
    QVERIFY(dropFile(area, second));
    QCOMPARE(area.text(), QStringLiteral("second.img"));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(changed.at(1).at(0).toString(), second);
    QCOMPARE(remembered(key).toString(), second);
    QVERIFY(area.hasFile());
}

void TestDropArea::shownTextBelongsToTheArea()
{
    DropArea area;
    const QString welcome = area.welcome();
    QCOMPARE(area.text(), welcome);

    area.setText(QStringLiteral("direct"));
    QCOMPARE(area.text(), welcome);
    QVERIFY(QMetaObject::invokeMethod(&area, "setText", Q_ARG(QString, QStringLiteral("meta"))));
    QCOMPARE(area.text(), welcome);

    area.setWelcome(QStringLiteral("Drop it"));
    QCOMPARE(area.text(), QStringLiteral("Drop it"));

    // A chosen file's name stays shown until the area is cleared.
    QVERIFY(dropFile(area, makeFile(QStringLiteral("fw.dfu"))));
    area.setWelcome(QStringLiteral("Later"));
    QVERIFY(QMetaObject::invokeMethod(&area, "setText", Q_ARG(QString, QStringLiteral("meta"))));
    QCOMPARE(area.text(), QStringLiteral("fw.dfu"));
    area.clear();
    QCOMPARE(area.text(), QStringLiteral("Later"));
    QVERIFY(!area.hasFile());
}

void TestDropArea::doubleClickPicksThroughDialog_data()
{
    QTest::addColumn<QString>("fileExt");
    QTest::addColumn<QString>("fileType");

    QTest::newRow("default kind") << QString() << QStringLiteral("DFU Files (*.dfu)");
    QTest::newRow("binary kind") << QStringLiteral("bin") << QStringLiteral("Binary files (*.bin)");
}

void TestDropArea::doubleClickPicksThroughDialog()
{
    QFETCH(QString, fileExt);
    QFETCH(QString, fileType);

    DropArea area;
    if (!fileExt.isEmpty()) {
        area.fileExt = fileExt;
        area.fileType = fileType;
    }
    QCOMPARE(area.fileType, fileType);
    const QString welcome = area.text();
    const QString suffix = QStringLiteral(".") + (fileExt.isEmpty() ? QStringLiteral("dfu") : fileExt);
    const QString earlier = makeFile(QStringLiteral("earlier") + suffix);
    const QString picked = makeFile(QStringLiteral("picked") + suffix);
    QSettings().setValue(area.settingsKey(), earlier);
    QSignalSpy changed(&area, &DropArea::changed);

    QString title, directory;
    QStringList filters;
    testsupport::whenModalAppears([&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog) {
            modal->close();
            return;
        }
        title = dialog->windowTitle();
        directory = dialog->directory().absolutePath();
        filters = dialog->nameFilters();
        pickInDialog(dialog, picked);
    });
    doubleClick(area);

    QCOMPARE(title, QStringLiteral("Select DFU File"));
    QCOMPARE(directory, QFileInfo(earlier).absolutePath());
    QCOMPARE(filters, QStringList {fileType});
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toString(), picked);
    QCOMPARE(remembered(area.settingsKey()).toString(), picked);
    QCOMPARE(area.text(), welcome);
    QVERIFY(area.hasFile());

    // A file picked in the dialog closes the area to drops until it is cleared.
    const QString dropped = makeFile(QStringLiteral("dropped.img"));
    QVERIFY(!dropFile(area, dropped));
    QCOMPARE(changed.count(), 1);
    area.clear();
    QVERIFY(dropFile(area, dropped));
    QCOMPARE(changed.count(), 2);
}

void TestDropArea::cancelledDialogChangesNothing()
{
    DropArea area;
    const QString earlier = makeFile(QStringLiteral("earlier.dfu"));
    QSettings().setValue(area.settingsKey(), earlier);
    QSignalSpy changed(&area, &DropArea::changed);

    bool sawDialog = false;
    testsupport::whenModalAppears([&](QWidget *modal) {
        sawDialog = qobject_cast<QFileDialog *>(modal) != nullptr;
        modal->close();
    });
    doubleClick(area);

    QVERIFY(sawDialog);
    QCOMPARE(changed.count(), 0);
    QVERIFY(!area.hasFile());
    QCOMPARE(remembered(area.settingsKey()).toString(), earlier);
    QVERIFY(dropFile(area, makeFile(QStringLiteral("dropped.dfu"))));
}

// Owners check the announced file and clear the area when they refuse it; that
// must leave the area empty and open to drops, whichever way the file came.
void TestDropArea::ownerClearingOnAnnouncementWins()
{
    DropArea area;
    connect(&area, &DropArea::changed, &area, &DropArea::clear);
    const QString file = makeFile(QStringLiteral("refused.dfu"));

    QVERIFY(dropFile(area, file));
    QVERIFY(!area.hasFile());
    QCOMPARE(area.text(), area.welcome());

    testsupport::whenModalAppears([&](QWidget *modal) {
        if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            pickInDialog(dialog, file);
        } else {
            modal->close();
        }
    });
    doubleClick(area);
    QVERIFY(!area.hasFile());
    QVERIFY(area.acceptDrops());
}

void TestDropArea::symbolRect_data()
{
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QRect>("symbol");

    QTest::newRow("large: capped at 128") << QSize(600, 300) << QRect(8, 163, 128, 128);
    QTest::newRow("small: a third and a half agree") << QSize(90, 60) << QRect(8, 21, 30, 30);
    QTest::newRow("narrow: a third of the width") << QSize(300, 400) << QRect(8, 291, 100, 100);
    QTest::newRow("flat: half the height") << QSize(600, 100) << QRect(8, 41, 50, 50);
    QTest::newRow("integer division") << QSize(100, 100) << QRect(8, 58, 33, 33);
}

void TestDropArea::symbolRect()
{
    QFETCH(QSize, widget);
    QFETCH(QRect, symbol);
    QCOMPARE(DropArea::symbolRect(widget), symbol);
}

void TestDropArea::panelFollowsTheme_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<int>("panelGrey");

    // The translucent panel over a white base: 0xa0 of grey 214 or 48, the rest white.
    QTest::newRow("light") << false << (214 * 0xa0 + 255 * (255 - 0xa0)) / 255;
    QTest::newRow("dark") << true << (48 * 0xa0 + 255 * (255 - 0xa0)) / 255;
}

void TestDropArea::panelFollowsTheme()
{
    QFETCH(bool, dark);
    QFETCH(int, panelGrey);

    setDarkThemeProbe([dark] { return dark; });
    DropArea area;
    setDarkThemeProbe([dark] { return !dark; }); // read once, at construction
    QPalette palette = area.palette();
    palette.setColor(QPalette::Base, Qt::white);
    area.setPalette(palette);
    area.setWelcome(QString());
    area.resize(300, 150);

    const QImage image = area.grab().toImage();
    const QColor panel = image.pixelColor(image.width() - 20, 20);
    QVERIFY2(qAbs(panel.red() - panelGrey) <= 2 && panel.red() == panel.green() && panel.green() == panel.blue(),
        qPrintable(panel.name()));
    // Outside the rounded corner the base shows through.
    QCOMPARE(image.pixelColor(0, 0), QColor(Qt::white));
}

VELTRANO_TEST_MAIN(TestDropArea)
#include "tst_droparea.moc"
