#pragma once

#include <QDialog>
#include <QStringList>

#include <memory>

struct DFUParams;

namespace Ui {
class ELMParams;
}

// Edits the connection values of an updater run: port, rate, adapter kind and the two CAN
// identifiers. It only edits the record it is given; connecting stays with the caller.
class ELMParams : public QDialog
{
    Q_OBJECT

public:
    explicit ELMParams(QWidget *parent = nullptr);
    ~ELMParams() override;

    void setPorts(const QStringList &ports, const QString &current);
    void setParams(const DFUParams &params);
    void getParams(DFUParams &params) const;

private slots:
    void on_canIDSpin_valueChanged(int value);

private:
    std::unique_ptr<Ui::ELMParams> ui;
};
