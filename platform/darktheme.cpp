#include "darktheme.h"

#include "settingskeys.h"

#include <QGuiApplication>
#include <QPalette>
#include <QSettings>

namespace {

struct ThemeCache
{
    bool darkKnown = false;
    bool dark = false;
    std::function<bool()> probe;
};

ThemeCache &cache()
{
    static ThemeCache theCache;
    return theCache;
}

bool readPlatformTheme()
{
#ifdef Q_OS_WIN
    const QSettings personalize(SettingsKeys::personalize, QSettings::NativeFormat);
    return darkThemeFromSettings(personalize);
#else
    return darkThemeFromPalette(QGuiApplication::palette());
#endif
}

} // namespace

bool darkThemeFromSettings(const QSettings &personalize)
{
    const QVariant value = personalize.value(SettingsKeys::appsUseLightTheme);
    return value.isValid() && value == QVariant(0);
}

bool darkThemeFromPalette(const QPalette &palette)
{
    return palette.color(QPalette::Active, QPalette::Window).lightness()
        < palette.color(QPalette::Active, QPalette::WindowText).lightness();
}

bool isDarkTheme()
{
    ThemeCache &c = cache();
    if (!c.darkKnown) {
        c.darkKnown = true;
        c.dark = c.probe ? c.probe() : readPlatformTheme();
    }
    return c.dark;
}

void setDarkThemeProbe(std::function<bool()> probe)
{
    ThemeCache &c = cache();
    c.probe = std::move(probe);
    c.darkKnown = false;
}
