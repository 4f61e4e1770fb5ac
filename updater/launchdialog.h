#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class LaunchDialog;
}

// Asked after a confirmed flash: start the new firmware now, or go back to the updater.
class LaunchDialog : public QDialog
{
    Q_OBJECT

public:
    explicit LaunchDialog(QWidget *parent = nullptr);
    ~LaunchDialog() override;

private:
    std::unique_ptr<Ui::LaunchDialog> ui;
};
