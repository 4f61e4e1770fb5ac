#pragma once

#include <jobrecord.h>

#include <QList>
#include <QString>
#include <QWidget>

#include <memory>

class QLabel;
class QLineEdit;
class QTableView;
class RecordStore;
class RecordTableModel;

// The job records of one store, newest first, as both windows show them: a filter field that
// narrows them as it is typed in, Refresh, and Export CSV, which writes the rows shown. The store
// is read when the page is shown and on Refresh; one that cannot be read is said in the page.
class RecordsPage : public QWidget
{
    Q_OBJECT

public:
    explicit RecordsPage(QWidget *parent = nullptr);
    ~RecordsPage() override;

    // The store's file; read the next time the page is shown or refreshed. Empty: none is kept.
    void setPath(const QString &path);
    QString path() const { return m_path; }
    // The records shown, in their order.
    const QList<JobRecord> &records() const { return m_records; }
    // What the page says under the table: how many records it shows, or why it shows none.
    QString statusText() const;

    // The model's columns, in order, by their names in JobRecord::columns(); the header's
    // Qt::UserRole holds them too, and each cell's Qt::UserRole the record's text of it.
    static QStringList shownColumns();

public slots:
    // Reads the records again, through the filter field.
    void refresh();
    // Writes the rows shown as CSV to `path`, replacing the file only once all is written; false,
    // said in the page, when it cannot.
    bool exportCsv(const QString &path);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void chooseExportFile();
    void say(const QString &text, bool problem);
    bool openStore();

    QString m_path;
    std::unique_ptr<RecordStore> m_store; // opened at the first reading that finds the file
    QList<JobRecord> m_records;
    QLineEdit *m_filter = nullptr;
    QTableView *m_table = nullptr;
    RecordTableModel *m_model = nullptr;
    QLabel *m_status = nullptr;
};
