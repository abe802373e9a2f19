// CConverterApp: the application. Its start hook runs the main dialog
// modally and answers false, so the program ends when the dialog does.
#pragma once

#include <QApplication>

class CConverterApp {
public:
    CConverterApp(int& argc, char** argv);

    // Runs the main dialog until "Exit"; false: the program ends.
    bool InitInstance();

private:
    QApplication m_app;
};
