#include "contactstable.h"
#include "exprogram.h"

int main(int argc, char* argv[])
{
    static const ExImporterTable table = contactsTable();
    return exRunImporter(argc, argv, table);
}
