#include "crmsettings.h"
#include "crmtransport.h"
#include "wizard.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>

// The form is laid out for Tahoma. Where it is not installed, a condensed sans serif of about its
// width stands in; the wide default sans serif would cut the headings short.
static void provideFormFont()
{
    const QString tahoma = QStringLiteral("Tahoma");
    if (!QFontDatabase::families().contains(tahoma))
        QFont::insertSubstitution(tahoma, QStringLiteral("DejaVu Sans Condensed"));
}

int main(int argc, char* argv[])
{
    const CurlGlobal curl;
    QApplication app(argc, argv);
    // Plug-ins shipped beside the program are found there.
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath());
    provideFormFont();

    // Certificate decisions are kept with the settings; the transport goes before libcurl's cleanup.
    CrmSettingsTrustStore trust;
    CrmTransport transport(trust);
    Wizard wizard(transport);
    wizard.show();
    return app.exec();
}
