#include "exfolder.h"

#include <QFileInfo>

ExFOLDER::~ExFOLDER()
{
    // Children first, then this folder's own handle.
    subFolders.clear();
    folder.reset();
}

const ExFOLDER* ExFOLDER::storeRoot() const
{
    const ExFOLDER* f = this;
    while (f->parent)
        f = f->parent;
    return f;
}

QString ExFOLDER::storeLabel() const
{
    const ExFOLDER* root = storeRoot();
    if (root->storeFile.isEmpty())
        return root->name;
    return QFileInfo(root->storeFile).fileName();
}
