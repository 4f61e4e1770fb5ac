#pragma once

#include <windowviews.h>

#include <QColor>
#include <QMainWindow>

class DropArea;

// The file manager's main window. For now it offers the drop target and the way
// to the updater; the device connection and file list come with the worker.
class ManagerWindow : public QMainWindow, public ManagerView
{
    Q_OBJECT

public:
    explicit ManagerWindow(QWidget *parent = nullptr);
    ~ManagerWindow() override;

    bool init() override;
    void showWindow() override { show(); }

private slots:
    void on_actionFirmware_Update_triggered();

private:
    QColor m_iconColor;
    DropArea *m_dropLabel = nullptr;
};
