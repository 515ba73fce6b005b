// Qt's own texts (file dialogs and their warnings) in Russian, like the rest of the program.
#pragma once

#include <QCoreApplication>

namespace certdesk {

// Loads Qt's Russian translation into the application; false when it is not installed, and
// Qt's texts then stay English.
bool InstallRussianQtTranslation(QCoreApplication& app);

}  // namespace certdesk
