#pragma once

// The 11-bit CAN identifiers a Kestrane device is reached on, named from the PC's side as in
// ELM_ConnInfo: `canId` is the identifier of the frames the device sends (the adapter's receive
// filter), `pcId` that of the frames the PC sends (the adapter's header).
namespace CanIds {

// The application firmware's file-manager service always uses this pair.
constexpr int managerCanId = 0x746;
constexpr int managerPcId = 0x74E;

// The bootloader's pair: what the updater and the command line use unless told otherwise.
constexpr int bootloaderCanId = 0x747;
constexpr int bootloaderPcId = 0x74F;

// A device listens this far above the identifier it answers with.
constexpr int pcIdStep = 8;
static_assert(managerPcId - managerCanId == pcIdStep && bootloaderPcId - bootloaderCanId == pcIdStep,
    "both services listen one step above the identifier they answer with");

// The device identifier the updater window and its connection dialog show before a record has
// been set.
constexpr int unsetCanId = 0x745;

// The largest 11-bit identifier.
constexpr int maxId = 0x7FF;

} // namespace CanIds
