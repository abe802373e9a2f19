// tessaly-converter: the dialog application.
#include "app/ConverterApp.h"

int main(int argc, char** argv) {
    CConverterApp app(argc, argv);
    app.InitInstance();
    return 0;
}
