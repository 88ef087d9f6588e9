#include "exhttpn.h"
#include "wizard.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    const CurlGlobal curl;
    QApplication app(argc, argv);
    // Plug-ins shipped beside the program are found there.
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath());

    Wizard wizard;
    wizard.show();
    return app.exec();
}
