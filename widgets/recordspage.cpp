#include "recordspage.h"

#include <recordformat.h>
#include <recordstore.h>

#include <QAbstractTableModel>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTableView>
#include <QVBoxLayout>

namespace {

// The columns a technician looks for first; the rest follow in the store's order, its own number
// last.
const char *const leadingColumns[] = {"started", "job", "status", "board_id", "uuid", "file_name", "reason"};

bool isTime(const QString &column)
{
    return column == QLatin1String("started") || column == QLatin1String("ended");
}

// What a device or a file said may hold control characters: each is shown as its symbol (␛ for
// ESC), so that a line break or an escape sequence shows as what it is instead of acting.
QString visible(QString text)
{
    for (QChar &c : text) {
        const ushort code = c.unicode();
        if (code < 0x20)
            c = QChar(0x2400 + code);
        else if (code == 0x7f)
            c = QChar(0x2421);
        else if (c.category() == QChar::Other_Control)
            c = QChar(QChar::ReplacementCharacter);
    }
    return text;
}

} // namespace

// The records as table rows. Display texts go to a plain-text delegate, never to a rich-text one.
class RecordTableModel : public QAbstractTableModel
{
public:
    RecordTableModel(const QStringList &columns, const QStringList &labels, QObject *parent)
        : QAbstractTableModel(parent)
        , m_columns(columns)
        , m_labels(labels)
    { }

    void setRecords(const QList<JobRecord> &records)
    {
        beginResetModel();
        m_records = records;
        endResetModel();
    }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : int(m_records.size());
    }
    int columnCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : int(m_columns.size());
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= m_records.size() || index.column() >= m_columns.size())
            return {};
        const JobRecord &record = m_records.at(index.row());
        const QString &column = m_columns.at(index.column());
        if (role == Qt::UserRole)
            return record.text(column);
        if (role != Qt::DisplayRole)
            return {};
        if (isTime(column)) {
            const QDateTime time = column == QLatin1String("started") ? record.started : record.ended;
            return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
        }
        return visible(record.text(column));
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || section < 0 || section >= m_columns.size())
            return QAbstractTableModel::headerData(section, orientation, role);
        if (role == Qt::UserRole)
            return m_columns.at(section);
        if (role == Qt::DisplayRole)
            return m_labels.value(section, m_columns.at(section));
        return {};
    }

private:
    QStringList m_columns;
    QStringList m_labels;
    QList<JobRecord> m_records;
};

RecordsPage::RecordsPage(QWidget *parent)
    : QWidget(parent)
{
    const QHash<QString, QString> labels {{"started", tr("Started")}, {"ended", tr("Ended")},
        {"duration_ms", tr("Duration, ms")}, {"program", tr("Program")}, {"version", tr("Version")},
        {"host", tr("Computer")}, {"user", tr("User")}, {"job", tr("Job")}, {"dry_run", tr("Dry run")},
        {"status", tr("Status")}, {"exit_code", tr("Exit code")}, {"reason", tr("Reason")}, {"port", tr("Port")},
        {"adapter_kind", tr("Adapter")}, {"adapter_id", tr("Adapter identification")}, {"transfer", tr("Transfer")},
        {"role", tr("Role")}, {"board_id", tr("Board")}, {"uuid", tr("UUID")}, {"description", tr("Description")},
        {"file_name", tr("File")}, {"file_size", tr("Size")}, {"sha256", tr("SHA-256")},
        {"erase_sent", tr("Erase sent")}, {"erase_confirmed", tr("Erase confirmed")},
        {"erase_refused", tr("Erase refused")},
        {"bytes_acknowledged", tr("Bytes acknowledged")}, {"finalise_confirmed", tr("Finalise confirmed")},
        {"launch_answered", tr("Launch answered")}, {"voltage_before", tr("Voltage before, V")},
        {"voltage_after", tr("Voltage after, V")}, {"id", tr("Number")}};
    const QStringList columns = shownColumns();
    QStringList headers;
    for (const QString &column : columns)
        headers << labels.value(column, column);

    m_filter = new QLineEdit(this);
    m_filter->setObjectName(QStringLiteral("recordsFilter"));
    m_filter->setPlaceholderText(tr("Filter: a word in any column"));
    m_filter->setClearButtonEnabled(true);
    auto *refreshButton = new QPushButton(tr("Refresh"), this);
    refreshButton->setObjectName(QStringLiteral("recordsRefresh"));
    auto *exportButton = new QPushButton(tr("Export CSV…"), this);
    exportButton->setObjectName(QStringLiteral("recordsExport"));

    m_model = new RecordTableModel(columns, headers, this);
    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("recordsTable"));
    m_table->setModel(m_model);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->horizontalHeader()->setMaximumSectionSize(400); // a long reason stays within reach

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("recordsStatus"));
    m_status->setTextFormat(Qt::PlainText); // a path or the driver's words, never markup
    m_status->setWordWrap(true);

    auto *tools = new QHBoxLayout;
    tools->addWidget(m_filter, 1);
    tools->addWidget(refreshButton);
    tools->addWidget(exportButton);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(tools);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_status);

    connect(m_filter, &QLineEdit::textChanged, this, &RecordsPage::refresh);
    connect(refreshButton, &QPushButton::clicked, this, &RecordsPage::refresh);
    connect(exportButton, &QPushButton::clicked, this, &RecordsPage::chooseExportFile);
}

RecordsPage::~RecordsPage() = default;

QStringList RecordsPage::shownColumns()
{
    QStringList rest = JobRecord::columns();
    QStringList columns;
    for (const char *name : leadingColumns) {
        if (rest.removeOne(QLatin1String(name)))
            columns << QLatin1String(name);
    }
    rest.removeOne(QStringLiteral("id"));
    columns << rest << QStringLiteral("id");
    return columns;
}

void RecordsPage::setPath(const QString &path)
{
    if (path == m_path)
        return;
    m_path = path;
    m_store.reset();
}

QString RecordsPage::statusText() const
{
    return m_status->text();
}

void RecordsPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
}

void RecordsPage::say(const QString &text, bool problem)
{
    m_status->setText(text);
    m_status->setStyleSheet(problem ? QStringLiteral("color: #c62828") : QString());
}

// A store not there yet is not made by looking at it: the first job's record makes it.
bool RecordsPage::openStore()
{
    if (m_store)
        return true;
    if (m_path.isEmpty()) {
        say(tr("No records are kept"), false);
        return false;
    }
    if (!QFileInfo::exists(m_path)) {
        say(tr("No records yet: %1").arg(QDir::toNativeSeparators(m_path)), false);
        return false;
    }
    auto store = std::make_unique<RecordStore>(m_path);
    if (!store->open()) {
        say(store->error(), true);
        return false;
    }
    m_store = std::move(store);
    return true;
}

void RecordsPage::refresh()
{
    m_records.clear();
    if (openStore()) {
        RecordFilter filter;
        filter.text = m_filter->text();
        m_records = m_store->find(filter);
        if (!m_store->error().isEmpty())
            say(m_store->error(), true);
        else
            say(tr("Records: %1, in %2").arg(m_records.size()).arg(QDir::toNativeSeparators(m_path)), false);
    }
    m_model->setRecords(m_records);
    m_table->resizeColumnsToContents();
}

bool RecordsPage::exportCsv(const QString &path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(RecordFormat::toCsv(m_records)) < 0 || !file.commit()) {
        say(tr("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()), true);
        return false;
    }
    say(tr("Records written: %1, to %2").arg(m_records.size()).arg(QDir::toNativeSeparators(path)), false);
    return true;
}

void RecordsPage::chooseExportFile()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString path = QFileDialog::getSaveFileName(this, tr("Export records"),
        QDir(folder).filePath(QStringLiteral("veltrano-records.csv")), tr("CSV files (*.csv)"));
    if (!path.isEmpty())
        exportCsv(path);
}
