#include "test_application.h"

#include <QApplication>
#include <QDirIterator>
#include <QFile>

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

const std::vector<std::pair<QString, QString>>& interfaceCode()
{
    static const auto code = [] {
        std::vector<std::pair<QString, QString>> files;
        for (const char* folder : {"/ui", "/KxPhone"}) {
            QDirIterator found(QString(KX_SOURCE_DIR) + folder, {"*.cpp", "*.h"}, QDir::Files,
                               QDirIterator::Subdirectories);
            while (found.hasNext()) {
                QFile file(found.next());
                files.emplace_back(file.fileName(), file.open(QIODevice::ReadOnly)
                                                        ? QString::fromUtf8(file.readAll())
                                                        : QString());
            }
        }
        return files;
    }();
    return code;
}
