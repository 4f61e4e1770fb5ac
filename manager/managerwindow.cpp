#include "managerwindow.h"

#include <darktheme.h>
#include <droparea.h>
#include <programshell.h>
#include <qmaterialicon.h>

#include <QAction>
#include <QApplication>
#include <QMenuBar>
#include <QSettings>

ManagerWindow::ManagerWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_iconColor(isDarkTheme() ? QColor(226, 226, 226) : QColor(58, 58, 58))
{
    setWindowTitle(tr("Veltrano Manager"));
    resize(423, 289);

    m_dropLabel = new DropArea(this);
    m_dropLabel->setObjectName(QStringLiteral("dropLabel"));
    m_dropLabel->setWelcome(tr("Drop binary file<br><b>here</b>"));
    m_dropLabel->fileType = tr("Binary files (*.bin)");
    m_dropLabel->fileExt = QStringLiteral("bin");
    setCentralWidget(m_dropLabel);

    QMenu *fileMenu = menuBar()->addMenu(tr("File"));
    QAction *upgrade = fileMenu->addAction(tr("Upgrade Utility"));
    upgrade->setObjectName(QStringLiteral("actionFirmware_Update"));
    fileMenu->addSeparator();
    QAction *exit = fileMenu->addAction(QMaterialIcon::icon(QStringLiteral("exit_to_app"), m_iconColor), tr("Exit"));
    exit->setObjectName(QStringLiteral("actionExit"));
    connect(exit, &QAction::triggered, qApp, [] { QCoreApplication::exit(0); });

    QMetaObject::connectSlotsByName(this);
}

ManagerWindow::~ManagerWindow()
{
    QSettings().setValue(QStringLiteral("UI/State"), saveState(0));
}

bool ManagerWindow::init()
{
    restoreGeometry(QSettings().value(QStringLiteral("UI/Geometry")).toByteArray());
    restoreState(QSettings().value(QStringLiteral("UI/State")).toByteArray(), 0);
    return true;
}

void ManagerWindow::on_actionFirmware_Update_triggered()
{
    // Without an adapter connection the updater has to find the bootloader itself.
    QCoreApplication::exit(ProgramShell::UpdaterDisconnected);
}
