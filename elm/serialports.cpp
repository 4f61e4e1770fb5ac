#include "serialports.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

namespace {

QStringList portNames(const QList<QSerialPortInfo> &ports)
{
    QStringList names;
    for (const QSerialPortInfo &info : ports)
        names << info.portName();
    return names;
}

// The existing paths of VELTRANO_EXTRA_PORTS that `taken` does not list yet, in the variable's order.
QStringList extraPorts(const QStringList &taken)
{
    const QString list = qEnvironmentVariable("VELTRANO_EXTRA_PORTS");
    QStringList extra;
    for (const QString &path : list.split(QDir::listSeparator(), Qt::SkipEmptyParts)) {
        if (!taken.contains(path) && !extra.contains(path) && QFileInfo::exists(path))
            extra << path;
    }
    return extra;
}

} // namespace

QStringList availableSerialPortNames()
{
    const QStringList system = portNames(QSerialPortInfo::availablePorts());
    return system + extraPorts(system);
}

bool assignSerialPort(QSerialPort &port, const QString &name)
{
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : system) {
        if (info.portName() == name) {
            port.setPort(info);
            return true;
        }
    }
    if (!extraPorts(portNames(system)).contains(name))
        return false;
    // QSerialPort looks for a bare name under /dev; a relative extra path is meant from here.
    port.setPortName(QDir::isRelativePath(name) ? QFileInfo(name).absoluteFilePath() : name);
    return true;
}
