#include "launchdialog.h"

#include "ui_launchdialog.h"

LaunchDialog::LaunchDialog(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::LaunchDialog>())
{
    ui->setupUi(this);
    connect(ui->returnButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->launchButton, &QPushButton::clicked, this, &QDialog::accept);
}

LaunchDialog::~LaunchDialog() = default;
