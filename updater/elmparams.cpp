#include "elmparams.h"

#include "ui_elmparams.h"

#include "dfuparams.h"

#include <canids.h>
#include <elmconninfo.h>
#include <settingskeys.h>

#include <QSettings>

namespace {

// A record without a PC identifier gets one at a fixed distance above the device's.
constexpr int pcIdFallbackOffset = 0x40;

} // namespace

ELMParams::ELMParams(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::ELMParams>())
{
    ui->setupUi(this);
    ui->canIDSpin->setMaximum(CanIds::maxId);
    ui->pcIDSpin->setMaximum(CanIds::maxId);
    // The PC's identifier follows through on_canIDSpin_valueChanged.
    ui->canIDSpin->setValue(CanIds::unsetCanId);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

ELMParams::~ELMParams() = default;

void ELMParams::setPorts(const QStringList &ports, const QString &current)
{
    ui->portCombo->clear();
    ui->portCombo->addItems(ports);
    const int index = ui->portCombo->findText(current, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        ui->portCombo->setCurrentIndex(index);
}

void ELMParams::setParams(const DFUParams &params)
{
    ui->baudSpin->setValue(params.baud);
    if (params.adapter == 0)
        ui->adapterELMRadio->setChecked(true);
    else
        ui->adapterELSRadio->setChecked(true);
    // Loading a record must keep its own PC identifier, not the one derived from the device's.
    const bool wasBlocked = ui->canIDSpin->blockSignals(true);
    ui->canIDSpin->setValue(params.canId);
    ui->pcIDSpin->setValue(params.pcId != 0 ? params.pcId : params.canId + pcIdFallbackOffset);
    ui->canIDSpin->blockSignals(wasBlocked);
    ui->transferCombo->setCurrentIndex(int(transferModeNamed(QSettings().value(SettingsKeys::transfer).toString())));
}

void ELMParams::getParams(DFUParams &params) const
{
    params.port = ui->portCombo->currentText();
    params.baud = ui->baudSpin->value();
    params.adapter = ui->adapterELMRadio->isChecked() ? 0 : 1;
    params.canId = ui->canIDSpin->value();
    params.pcId = ui->pcIDSpin->value();
    // Shared with the manager window, as the rate switch is.
    QSettings().setValue(SettingsKeys::transfer, transferModeName(TransferMode(ui->transferCombo->currentIndex())));
}

void ELMParams::on_canIDSpin_valueChanged(int value)
{
    ui->pcIDSpin->setValue(value + CanIds::pcIdStep);
}
