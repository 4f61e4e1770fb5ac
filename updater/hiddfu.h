#pragma once

#include <dfuparams.h>
#include <windowviews.h>

#include <QWidget>

class DropArea;

// The firmware updater's window. For now it takes a package on its drop target;
// the bootloader connection and flashing come with the worker.
class HIDDfu : public QWidget, public UpdaterView
{
    Q_OBJECT

public:
    enum RunMode { Standalone = 0, Slave = 1 };
    Q_ENUM(RunMode)

    explicit HIDDfu(QWidget *parent = nullptr);

    void setup(const DFUParams &params) override { m_params = params; }
    void showWindow() override { show(); }
    bool start() override { return true; }
    int runResult() const override { return result; }
    void shutdown() override { }

    // 0 end, 1 restart the program, 2 run the updater again.
    int result = 0;

private:
    DFUParams m_params;
    DropArea *m_dfuDropArea = nullptr;
};
