#include "appointmentstable.h"
#include "exprogram.h"

int main(int argc, char* argv[])
{
    static const ExImporterTable table = appointmentsTable();
    return exRunImporter(argc, argv, table);
}
