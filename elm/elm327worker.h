#pragma once

#include "elm327io.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QVariant;

// What a protocol worker is made of besides its protocol: the adapter link it owns, wired to its
// io_* slots and strict about unanswered requests, and the way a request goes out. The file
// manager's and the bootloader's clients derive from it; each answers the link's reports in its
// own way and words them through its own signals.
class ELM327Worker : public QObject
{
    Q_OBJECT

public:
    ~ELM327Worker() override;

    // The adapter driver, for its account of why Setup failed.
    const ELM327IOBase &link() const { return m_io; }

public slots:
    // What the link reports. Neither protocol has anything to do when the port opens or the
    // adapter is ready; a lost port, a failed exchange and a reply are theirs to judge.
    virtual void io_connected();
    virtual void io_ready();
    virtual void io_disconnected() = 0;
    virtual void io_error(ELM327IOBase::ELM_ERROR code, QString reason) = 0;
    virtual void io_read(QByteArray data) = 0;

protected:
    explicit ELM327Worker(QObject *parent = nullptr);

    // Opens and sets up the adapter `param` describes (an ELM_ConnInfo; anything else stands
    // for an empty record). Blocks until the adapter answered or the search gave up.
    bool setupLink(const QVariant &param);
    // One request as one ISO-TP message, with the reply frames the adapter waits for and how
    // long.
    void send(const QByteArray &request, int replies, int timeoutMs);
    // One line to the adapter exactly as given, outside the message framing.
    void writeRaw(const QByteArray &line);
    // Something the link decided on its own that the user's log should show.
    virtual void io_notice(const QString &text) = 0;

private:
    ELM327IO m_io;
};
