// Starting the importer programs from the wizard. One process object per importer. While the program
// a button started still runs, a new press brings its windows forward instead of starting a second one
// beside it (two importers of one kind would import the same data twice); once it has ended, the next
// press starts it anew. When the launcher ends, it ends the programs it started.
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

    // The environment variable through which a started importer learns where to listen for the
    // request to come forward (the importers' shell reads it).
    static constexpr const char* raiseVariable = "KELVOR_RAISE";

    // Finds and starts the importer with no arguments, in the current folder and environment (plus
    // raiseVariable). When the importer started earlier still runs, asks it to bring its windows
    // forward instead. Returns false (and changes nothing) when the program is not found or cannot be
    // started.
    bool launch(Importer importer);
    // Asks the running importer to bring its windows forward. False when none runs or it cannot be
    // reached (a program without the request's listener).
    bool raise(Importer importer);

    // The process of the latest successful launch of the importer, or null.
    [[nodiscard]] QProcess* process(Importer importer) const;
    // Absolute path the importer would be started from, empty when not found.
    [[nodiscard]] QString programPath(Importer importer) const;

private:
    void pruneReleased();

    QString m_programDir;
    std::array<std::unique_ptr<QProcess>, allImporters.size()> m_current;
    // The local socket each current program listens on for the request to come forward.
    std::array<QString, allImporters.size()> m_raiseName;
    int m_launches = 0;
    // Earlier launches: no longer ended by the launcher, kept only until their program exits.
    std::vector<std::unique_ptr<QProcess>> m_released;
};
