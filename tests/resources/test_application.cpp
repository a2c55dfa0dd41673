#include "test_application.h"

#include <QApplication>

QApplication& testApplication()
{
    static int argc = 1;
    static char name[] = "resources_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        auto* created = new QApplication(argc, argv);
        QApplication::setStyle("Fusion");
        return created;
    }();
    return *app;
}
