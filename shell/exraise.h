#pragma once

#include <QObject>

class QLocalServer;

// Lets the program that started this one bring its windows forward instead of starting it a second time.
// When the environment variable KELVOR_RAISE names a local socket (the wizard sets it for every importer
// it starts), the program listens there from its start on; each connection raises and activates its
// windows, the open modal dialog on top. Without the variable nothing is listened for.
class ExRaiseServer : public QObject {
    Q_OBJECT
public:
    static constexpr const char* environmentVariable = "KELVOR_RAISE";

    explicit ExRaiseServer(QObject* parent = nullptr);
    ~ExRaiseServer() override;
    Q_DISABLE_COPY_MOVE(ExRaiseServer)

    [[nodiscard]] bool isListening() const;

    // Shows the program's visible windows again (also when minimised), raises them and activates the
    // modal dialog, else the main window.
    static void raiseWindows();

signals:
    // After the windows were raised on a request.
    void raised();

private:
    QLocalServer* m_server = nullptr;
};
