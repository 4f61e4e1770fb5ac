#pragma once

#include "ecufilelistmodel.h"
#include "managerrecords.h"
#include "managersession.h"
#include "managerview.h"
#include "noticequeue.h"
#include "removaljob.h"
#include "restartjob.h"
#include "uploadjob.h"

#include <elmconninfo.h>

#include <QColor>
#include <QMainWindow>
#include <QMessageBox>

namespace Ui {
class ManagerWindow;
}

// The file manager's main window: connects to the adapter, lists the device's files with
// their active ticks, uploads firmware slices and the active selection, removes and erases
// files, and hands over to the updater through the event loop's exit code.
class ManagerWindow : public QMainWindow, public ManagerView, private UploadQuestions
{
    Q_OBJECT

public:
    explicit ManagerWindow(QWidget *parent = nullptr);
    ~ManagerWindow() override;

    bool init() override;
    void showWindow() override { show(); }

signals:
    void finished();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_rescanTool_clicked();
    void on_connectTool_clicked();
    void on_addFileTool_clicked();
    void on_dropLabel_changed(const QString &file);
    void on_applySelTool_clicked();
    void on_removeFileTool_clicked();
    void on_eraseFilesTool_clicked();
    void on_dfuTool_clicked();
    void on_actionFirmware_Update_triggered();
    void on_actionAbout_triggered();
    void on_actionHome_triggered();
    void on_actionLog_triggered();
    void on_actionRecords_triggered();

    void thread_progress(int prog);
    void thread_error(int code, QVariant param);
    // Every operation of the session ends here, once.
    void thread_finished(const ManagerEnding &ending);

private:
    enum Page { ConnectPage = 0, StartPage = 1, DropPage = 2, LogPage = 3, JobRecordPage = 4 };

    bool uploadFirmware(const QString &path);
    bool refuseWhenBusy();
    // Whether the adapter's port is still there; if not, leads to the connect page.
    bool linkUp();
    // Whether the program may end now. During an upload it asks, and a Yes stops the upload; the
    // program then ends once the upload has.
    bool mayLeave();
    // Enables what may be started now.
    void updateTools();
    bool storeUnderName(const QString &fileName, const QString &target) override;
    // `source` is what the log names: the dropped file's path, or the selection file.
    void startUpload(const QString &source);
    void uploadCleanup();
    void connectEnded(const ManagerEnding &ending);
    void listEnded(const ManagerEnding &ending);
    void uploadEnded(const ManagerEnding &ending);
    void removalEnded(const ManagerEnding &ending);
    void restartEnded(const RestartEnding &ending);
    // Once the port is gone its box has said why everything under way failed.
    void warnIfConnected(int seconds, const QString &title, const QString &text);
    // Leaves the manager for the updater, telling it which port, rate and adapter to use when it
    // takes over the connection.
    // The selected port under the name it is stored by: a stored link that designates it is
    // kept, so that the adapter is found again when it comes back under another name.
    QString chosenPort() const;
    void handOver(ExitCode code);
    void showStartPageIfConnected();
    void appendLog(const QString &text);

    QColor m_iconColor;
    Ui::ManagerWindow *ui;
    bool m_connected = false;
    bool m_listRead = false; // the file list has been read since the connection was made
    bool m_updaterAllowed = true; // "Upgrade Utility" may be used when no upload runs
    // The device's active selection has been read for the list shown (or the list is empty): only
    // then can Apply Selection write it without dropping files nobody unticked.
    bool m_selectionRead = false;
    bool m_leaving = false; // the technician chose to quit: the program ends with the upload
    ManagerSession m_session;
    UploadJob m_upload;
    RemovalJob m_removal;
    RestartJob m_restart;
    ELM_ConnInfo m_connection; // how the device was reached
    ManagerRecords m_records; // of the jobs above
    ECUFileListModel m_model;
    NoticeQueue m_notices;
};
