#pragma once

#include <QStringList>

class QSerialPort;

// Every port list of the program: the system's serial ports, then the paths named in
// VELTRANO_EXTRA_PORTS that exist (socat bridges to WiFi/Bluetooth adapters, virtual null
// modems, a simulator's pty) and the network adapters named there (tcp://HOST:PORT), each once,
// as written.
QStringList availableSerialPortNames();

// The name the port lists show for the port that `name` designates, or an empty string when it
// designates none. People name a port in several ways: as listed (ttyUSB0, COM3), by its system
// location (/dev/ttyUSB0, \\.\COM10), or by a link to it that stays the same across re-plugging
// (/dev/serial/by-id/..., /dev/serial/by-path/..., a udev rule's name); an extra port also by a
// link to it or by where it leads. A network adapter's name (tcp://HOST:PORT) is taken as it is.
QString resolveSerialPort(const QString &name);

// Points `port` at the port that `name` designates (see resolveSerialPort); false when it
// designates none.
bool assignSerialPort(QSerialPort &port, const QString &name);
