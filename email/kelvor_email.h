// The main window of the e-mail importer: the tree of every store and its mail folders, and the
// import button. Owns the import object (ExMailImport), which fills the tree and runs the import.
#pragma once

#include "exmainwindow.h"

#include <QWidget>

#include <memory>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class ExMailImport;

class Kelvor_email : public QWidget, public ExWindowHeader {
    Q_OBJECT
public:
    explicit Kelvor_email(QWidget* parent = nullptr);
    ~Kelvor_email() override;
    Q_DISABLE_COPY_MOVE(Kelvor_email)

    // Takes the import object; its ImportFolders() runs on each press of the import button.
    void setImport(std::unique_ptr<ExMailImport> import);
    [[nodiscard]] ExMailImport* import() const { return m_import.get(); }

    // Selects or clears a folder's row together with the rows of all folders below it. A click selects
    // one row only; this is the tree's context menu and Shift+Space on the current row.
    void selectSubtree(QTreeWidgetItem* row, bool select);

    // blockFrame, label, frame, lb_1, lb_3: ExWindowHeader
    QTreeWidget* treeWidget = nullptr;
    QPushButton* pushButton = nullptr;

public Q_SLOTS:
    // "Abbrechen" of the progress dialog.
    void StopJob();
    // The import button is enabled exactly while a row is selected.
    void treeEvent();

private:
    void showTreeMenu(const QPoint& pos);

    std::unique_ptr<ExMailImport> m_import;
};
