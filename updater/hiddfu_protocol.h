#pragma once

#include "hiddfu_worker.h"

#include <QByteArray>

// The bootloader's requests, replies and timings, shared by the worker's exchange and its flash.
namespace BootloaderProtocol {

// Bootloader requests. EXEC (0xB1) runs a routine named by a 16-bit number, high byte first.
inline constexpr char reqExec = char(0xB1);
inline constexpr char reqSetAddress = 0x34;
inline constexpr char reqWrite = 0x36;
inline constexpr char reqFinalize = 0x37;
inline constexpr char reqSdfu = 0x12; // leave for the STM DFU loader
inline constexpr char reqUdfu = 0x10; // restart the bootloader
inline constexpr char reqApp = 0x11; // start the application

inline constexpr quint16 routineStatus = 0x00B0;
inline constexpr quint16 routineInfo = 0x00B1;
inline constexpr quint16 routineErase = 0x00B2;
inline constexpr quint16 routineUuid = 0x00B3;
inline constexpr char eraseAll = char(0xFF); // the erase routine's page number for the whole application

inline constexpr quint8 repExec = 0xF1;
inline constexpr quint8 repSetAddress = 0x74;
inline constexpr quint8 repWrite = 0x76;
inline constexpr quint8 repFinalize = 0x77;
inline constexpr quint8 repUdfu = 0x50;
inline constexpr quint8 repApp = 0x51;
inline constexpr quint8 repSdfu = 0x52;
inline constexpr quint8 repNegative = 0x7F;

inline constexpr quint8 nrcBusy = 0x78; // the device works on it and asks to be asked again later
inline constexpr quint8 nrcNoUuid = 0x12; // this bootloader has no unique ID routine

inline constexpr int chunkSize = 1024;
inline constexpr int chunkAlign = 8; // the flash is written in double words
inline constexpr int statusReplySize = 17;
inline constexpr int uuidReplySize = 15;
inline constexpr int uuidBytes = 12;
inline constexpr int retryDelayMs = 100;
inline constexpr int retryLimit = 10; // consecutive time-outs before the device counts as gone
// How long the device may work on a step of the flash once it has it: real parts erase 256 KiB
// in 2 to 10 s; an address or a chunk takes milliseconds.
inline constexpr int eraseBudgetMs = 30000;
inline constexpr int stepBudgetMs = 5000;
inline constexpr int pollIntervalMs = 500; // status requests while the device is busy with the step
inline constexpr int resendLimit = 3; // a step sent again after the device showed it had not carried it out
inline constexpr quint8 flagsBusy = 0x03; // status flags: working on a step, or an error latched

inline QByteArray execRequest(quint16 routine)
{
    QByteArray request(1, reqExec);
    request.append(char(routine >> 8)).append(char(routine & 0xFF));
    return request;
}

// How long the device may take over a step of the flash once it has it.
inline int stepBudget(hiddfu_worker::Commands step)
{
    return step == hiddfu_worker::Erase ? eraseBudgetMs : stepBudgetMs;
}

// How a step's request begins, as far as its replies name it: the erase routine, an address, a write.
inline QByteArray stepRequest(hiddfu_worker::Commands step)
{
    if (step == hiddfu_worker::Erase)
        return execRequest(routineErase);
    return QByteArray(1, step == hiddfu_worker::SetAddress ? reqSetAddress : reqWrite);
}

// 7F, the request, 78: the device has the request and asks for patience; its reply follows.
inline bool asksForPatience(const QByteArray &data)
{
    return data.size() >= 3 && quint8(data.at(0)) == repNegative && quint8(data.at(2)) == nrcBusy;
}

inline bool isRequestByte(quint8 byte)
{
    for (const char request : {reqExec, reqSetAddress, reqWrite, reqFinalize, reqSdfu, reqUdfu, reqApp})
        if (byte == quint8(request))
            return true;
    return false;
}

} // namespace BootloaderProtocol
