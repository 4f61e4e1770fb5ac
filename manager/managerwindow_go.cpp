#include "managerwindow.h"
#include "ui_managerwindow.h"

#include <recordspage.h>

// The Go menu: the pages the technician turns to, whatever the window is doing.

void ManagerWindow::on_actionHome_triggered()
{
    // Without a link the start page's list and tools are those of a device no longer reachable.
    ui->stackedWidget->setCurrentIndex(m_connected ? StartPage : ConnectPage);
}

void ManagerWindow::on_actionLog_triggered()
{
    ui->stackedWidget->setCurrentIndex(LogPage);
}

// The page reads the store as it is shown; shown already, it reads it again.
void ManagerWindow::on_actionRecords_triggered()
{
    if (ui->stackedWidget->currentIndex() == JobRecordPage)
        ui->recordsPage->refresh();
    else
        ui->stackedWidget->setCurrentIndex(JobRecordPage);
}
