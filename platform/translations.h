#pragma once

#include <QList>

class QString;
class QTranslator;

// Installs the framework's and the program's catalogues for the language kept in
// "UI/Language" (the system locale when unset) and returns them in installation
// order. The caller removes and deletes them when its application run ends.
QList<QTranslator *> loadTranslations(const QString &folder);

// Removes translators installed by loadTranslations and deletes them.
void unloadTranslations(QList<QTranslator *> &translators);
