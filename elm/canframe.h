#pragma once

#include <QByteArray>

// One CAN frame to put on the bus, and how many frames the other side answers it with: the
// adapter is told to listen for that many after writing it.
struct CanFrame
{
    QByteArray bytes;
    int replies = 0;
};
Q_DECLARE_TYPEINFO(CanFrame, Q_MOVABLE_TYPE);
