#pragma once

#include <QStringList>

class QSerialPort;

// Every port list of the program: the system's serial ports, then the paths named in
// VELTRANO_EXTRA_PORTS that exist (socat bridges to WiFi/Bluetooth adapters, virtual null
// modems, a simulator's pty), each once, under the path as written.
QStringList availableSerialPortNames();

// Points `port` at the listed port called `name`; false when no such port is listed.
bool assignSerialPort(QSerialPort &port, const QString &name);
