#include "exfolder.h"

ExFOLDER::~ExFOLDER()
{
    // Children first, then this folder's own handle.
    subFolders.clear();
    folder.reset();
}
