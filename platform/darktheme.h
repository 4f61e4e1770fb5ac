#pragma once

#include <functional>

class QPalette;
class QSettings;

// Whether the system's application theme is dark. Read once per process; later
// calls return the first answer, so both windows keep the colours they started with.
bool isDarkTheme();

// Windows keeps the user's choice as "AppsUseLightTheme" under the Personalize key:
// 0 means dark, 1 or a missing value means light.
bool darkThemeFromSettings(const QSettings &personalize);

// Other platforms have no such value; a palette whose window colour is darker
// than its text colour is a dark theme.
bool darkThemeFromPalette(const QPalette &palette);

// Replaces the platform reading (for tests) and forgets the cached answer, so the
// next isDarkTheme() call reads through the new probe once.
void setDarkThemeProbe(std::function<bool()> probe);
