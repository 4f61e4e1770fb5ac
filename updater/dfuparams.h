#pragma once

#include <canids.h>

#include <QMetaType>
#include <QString>

// What the updater window starts from: how to reach the bootloader and what to do
// once it is there.
struct DFUParams
{
    int mode = 0; // HIDDfu::RunMode: Standalone = 0, Slave = 1
    QString port; // connect here at once, without asking
    QString lastPort; // preselect this port when the user is asked
    int baud = -1; // -1: no rate is known
    int adapter = 1; // ELM327IOBase::Adapter: ELM327 = 0, ELS27 = 1
    int canId = CanIds::bootloaderCanId; // frames the device sends
    int pcId = CanIds::bootloaderPcId; // frames the PC sends
    QString file; // firmware package to open at once
    bool autoLaunch = false;
};

Q_DECLARE_METATYPE(DFUParams)
