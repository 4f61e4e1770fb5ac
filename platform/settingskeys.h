#pragma once

#include <QString>

// Every key the program reads or writes through QSettings, so that each is spelled in one place.
// The program's own store is the default QSettings of the organisation and application named
// here (on Windows, the user's registry).
namespace SettingsKeys {

// The store's address: the application object's organisation and application names.
inline const QString organisation = QStringLiteral("Quorvane");
inline const QString application = QStringLiteral("Veltrano");

// The UI language, a locale name such as "ru_RU"; the --lang option writes it.
inline const QString language = QStringLiteral("UI/Language");
// The manager window's geometry and toolbar state, as saved byte arrays.
inline const QString geometry = QStringLiteral("UI/Geometry");
inline const QString state = QStringLiteral("UI/State");
// Followed by the file kind in capitals ("BIN", "DFU"): where a drop area's file dialog opens.
inline const QString dropAreaFilePrefix = QStringLiteral("UI/DropArea_File_");

// The manager's connection: port, serial rate (0: search) and adapter kind ("elm327", "els27").
inline const QString port = QStringLiteral("IO/Port");
inline const QString baud = QStringLiteral("IO/Baud");
inline const QString mode = QStringLiteral("IO/Mode");
// false keeps an ELM327 at the rate it was met at (for adapters that choke on AT BRD).
inline const QString rateSwitch = QStringLiteral("IO/RateSwitch");
// How messages cross an ELS27, for both windows: "auto", "segmented" or "frames".
inline const QString transfer = QStringLiteral("IO/Transfer");
// Kept in step with the identifiers the file manager always uses; never read for a connection.
inline const QString hostAddress = QStringLiteral("CAN/HostAddress");
inline const QString deviceAddress = QStringLiteral("CAN/DeviceAddress");

// What the updater reads when it takes the manager's connection over: port, rate and adapter.
inline const QString handoverPort = QStringLiteral("port");
inline const QString handoverBaud = QStringLiteral("baud");
inline const QString handoverAdapter = QStringLiteral("mod");

// Windows' own store, read for the theme: 0 under AppsUseLightTheme means a dark theme.
inline const QString personalize
    = QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize");
inline const QString appsUseLightTheme = QStringLiteral("AppsUseLightTheme");

} // namespace SettingsKeys
