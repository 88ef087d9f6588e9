#pragma once

#include "eximportertable.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

class QCheckBox;
class QFrame;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class CrmTransport;
class ExImporter;
class ExInfoDialog;
struct ExFOLDER;

// The parts every importer window shares (the item importers' and the e-mail importer's): the window's
// object name, size, title, icon and style sheet, the bordered block with the logo and the heading (the
// title and a second line the program fills).
struct ExWindowHeader {
    QFrame* blockFrame = nullptr;
    QLabel* label = nullptr;
    QFrame* frame = nullptr;
    QLabel* lb_1 = nullptr;
    QLabel* lb_3 = nullptr;
};
ExWindowHeader exBuildWindowHeader(QWidget* window, const QString& formName, const QString& title,
                                   const QString& resourcePrefix);
// Places a program's main window, before it is first shown, in the middle of the screen it appears on
// (the one under the mouse pointer), so that it opens whole: a window manager's own placement may put it
// beside an earlier window and partly off a small screen.
void exPlaceOnScreen(QWidget* window);
// The "Importieren" button at the foot of the block, disabled until a folder is selected. Created after
// the window's own widgets, so that it comes last in the tab order.
QPushButton* exBuildImportButton(QFrame* blockFrame, const QString& resourcePrefix);

// The folder-selection window of an item importer. Shows the folders of the scan as a flat list, lets the
// user select some and starts the run through ExImporter. Object names, texts and geometry come from the
// program's table; everything else is the same for every program.
class ExMainWindow : public QWidget, public ExWindowHeader {
    Q_OBJECT
public:
    // transport: the program's, handed to every run; it outlives the window.
    ExMainWindow(const ExImporterTable& table, CrmTransport& transport, QWidget* parent = nullptr);
    ~ExMainWindow() override;
    Q_DISABLE_COPY_MOVE(ExMainWindow)

    [[nodiscard]] const ExImporterTable& table() const { return m_table; }
    // The progress dialog; null until the scan has been handed over.
    [[nodiscard]] ExImporter* importer() const { return m_importer; }
    // The completion dialog of the latest run while it is open.
    [[nodiscard]] ExInfoDialog* infoDialog() const;
    [[nodiscard]] QTreeWidgetItem* rowOf(const ExFOLDER* folder) const { return m_rows.value(folder); }
    // Destroys the progress dialog (and with it the job, after its thread has ended).
    void destroyImporter();

    // blockFrame, label, frame, lb_1, lb_3: ExWindowHeader
    QTreeWidget* treeWidget = nullptr;
    QCheckBox* cb_pbuch = nullptr;  // null when the program has no mode check box
    QPushButton* pushButton = nullptr;

protected:
    // Closing the window during a run stops the run; the program ends once the worker is done.
    void closeEvent(QCloseEvent* event) override;

public slots:
    void ReadyImport(QList<ExFOLDER*>* folders);
    void UpdateStatusInfo(QString summary);
    void treeEvent();

private:
    const ExImporterTable& m_table;
    CrmTransport& m_transport;
    QHash<const ExFOLDER*, QTreeWidgetItem*> m_rows;
    ExImporter* m_importer = nullptr;  // child of this window
    QPointer<ExInfoDialog> m_info;
    bool m_closed = false; // a run that ends after the window was closed shows no summary
};
