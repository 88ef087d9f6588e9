#include "exprogram.h"
#include "taskstable.h"

int main(int argc, char* argv[])
{
    static const ExImporterTable table = tasksTable();
    return exRunImporter(argc, argv, table);
}
