#include "serialports.h"

#include "adapterport.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

namespace {

// Windows does not tell COM3 from com3; elsewhere a port is a file name, whose case counts.
#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity portNameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity portNameCase = Qt::CaseSensitive;
#endif

QStringList portNames(const QList<QSerialPortInfo> &ports)
{
    QStringList names;
    for (const QSerialPortInfo &info : ports)
        names << info.portName();
    return names;
}

// The names VELTRANO_EXTRA_PORTS lists. On Unix its separator is the colon, which a network
// adapter's name holds twice (tcp://HOST:PORT): a piece "tcp" followed by "//HOST" and the port
// number is put back together.
QStringList listedExtraPorts()
{
    const QStringList pieces
        = qEnvironmentVariable("VELTRANO_EXTRA_PORTS").split(QDir::listSeparator(), Qt::SkipEmptyParts);
    QStringList names;
    for (int i = 0; i < pieces.size(); ++i) {
        if (QDir::listSeparator() == QLatin1Char(':')
            && pieces.at(i).compare(QLatin1String("tcp"), Qt::CaseInsensitive) == 0 && i + 2 < pieces.size()
            && pieces.at(i + 1).startsWith(QLatin1String("//"))) {
            names << pieces.mid(i, 3).join(QLatin1Char(':'));
            i += 2;
            continue;
        }
        names << pieces.at(i);
    }
    return names;
}

// The existing paths of VELTRANO_EXTRA_PORTS that `taken` does not list yet, in the variable's
// order, and its network adapters (tcp://HOST:PORT), which are no files and listed as written.
QStringList extraPorts(const QStringList &taken)
{
    QStringList extra;
    for (const QString &path : listedExtraPorts()) {
        if (!taken.contains(path) && !extra.contains(path)
            && (AdapterPort::isNetworkName(path) || QFileInfo::exists(path)))
            extra << path;
    }
    return extra;
}

// Where a path leads once every link on the way is followed; empty when it leads nowhere.
QString destination(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

// The port that `name` designates: an index into `system`, or system.size() + an index into
// `extra`; -1 for none.
int findPort(const QString &name, const QList<QSerialPortInfo> &system, const QStringList &extra)
{
    if (name.isEmpty())
        return -1;
    // The listed names first: they are what the windows store and what most scripts type.
    for (int i = 0; i < system.size(); ++i)
        if (system.at(i).portName().compare(name, portNameCase) == 0)
            return i;
    if (extra.contains(name))
        return system.size() + extra.indexOf(name);
    for (int i = 0; i < system.size(); ++i)
        if (system.at(i).systemLocation().compare(name, portNameCase) == 0)
            return i;
    // A link leads to the same device node as the port's own location: compare where both lead.
    const QString target = destination(name);
    if (target.isEmpty())
        return -1;
    for (int i = 0; i < system.size(); ++i)
        if (destination(system.at(i).systemLocation()) == target)
            return i;
    for (int i = 0; i < extra.size(); ++i)
        if (destination(extra.at(i)) == target)
            return system.size() + i;
    return -1;
}

} // namespace

QStringList availableSerialPortNames()
{
    const QStringList system = portNames(QSerialPortInfo::availablePorts());
    return system + extraPorts(system);
}

QString resolveSerialPort(const QString &name)
{
    // A network adapter is named by where it is; there is nothing to look up.
    if (AdapterPort::isNetworkName(name))
        return name;
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    const QStringList extra = extraPorts(portNames(system));
    const int found = findPort(name, system, extra);
    if (found < 0)
        return QString();
    return found < system.size() ? system.at(found).portName() : extra.at(found - system.size());
}

bool assignSerialPort(QSerialPort &port, const QString &name)
{
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    const QStringList extra = extraPorts(portNames(system));
    const int found = findPort(name, system, extra);
    if (found < 0)
        return false;
    if (found < system.size()) {
        port.setPort(system.at(found));
        return true;
    }
    // QSerialPort looks for a bare name under /dev; a relative extra path is meant from here.
    const QString path = extra.at(found - system.size());
    port.setPortName(QDir::isRelativePath(path) ? QFileInfo(path).absoluteFilePath() : path);
    return true;
}
