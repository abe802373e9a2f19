// tessaly-converter: the dialog application.
#include "app/ConverterApp.h"
#include "app/TemporaryFile.h"

int main(int argc, char** argv) {
    // A conversion interrupted by a signal leaves no temporary file behind.
    TemporaryFile::RemoveOnSignals();
    CConverterApp app(argc, argv);
    app.InitInstance();
    return 0;
}
