// Starting the importer programs from the wizard. One process object per importer: a new press
// of a button replaces it, and the program started by the earlier press keeps running on its own.
// When the launcher ends, it ends the latest program of each importer.
#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <memory>
#include <vector>

class QProcess;

enum class Importer { Email, Contacts, Appointments, Tasks };
inline constexpr std::array<Importer, 4> allImporters{Importer::Email, Importer::Contacts, Importer::Appointments,
                                                      Importer::Tasks};

// The program's file name as started: "Kelvor_kontakte" ("Kelvor_kontakte.exe" on Windows).
[[nodiscard]] QString importerFileName(Importer importer);
// The debug message written when the importer's button is pressed ("Conntacts" for the contacts).
[[nodiscard]] const char* importerDebugMessage(Importer importer);

// Where a program started by name is found: programDir first, then currentDir, then the folders
// of searchPath (PATH syntax). Returns the absolute path of the first executable file, or an
// empty string.
[[nodiscard]] QString findProgram(const QString& fileName, const QString& programDir, const QString& currentDir,
                                  const QString& searchPath);

class ImporterLauncher
{
public:
    // programDir: the folder the wizard itself was started from.
    explicit ImporterLauncher(QString programDir);
    ~ImporterLauncher();
    ImporterLauncher(const ImporterLauncher&) = delete;
    ImporterLauncher& operator=(const ImporterLauncher&) = delete;

    // Finds and starts the importer with no arguments, in the current folder and environment.
    // Returns false (and changes nothing) when the program is not found or cannot be started.
    bool launch(Importer importer);

    // The process of the latest successful launch of the importer, or null.
    [[nodiscard]] QProcess* process(Importer importer) const;
    // Absolute path the importer would be started from, empty when not found.
    [[nodiscard]] QString programPath(Importer importer) const;

private:
    void pruneReleased();

    QString m_programDir;
    std::array<std::unique_ptr<QProcess>, allImporters.size()> m_current;
    // Earlier launches: no longer ended by the launcher, kept only until their program exits.
    std::vector<std::unique_ptr<QProcess>> m_released;
};
