#include <QString>
#include <QTimer>

#include "KxPhone/kxapp.h"

// The program takes nothing from its command line: Qt sees only a program name.
int main(int, char**)
{
    static char programName[] = "kxphone";
    static char* qtArguments[] = {programName, nullptr};
    int qtArgumentCount = 1;

    const QString key = "Kestrovia";
    KxApp app(qtArgumentCount, qtArguments, key);
    if (app.alreadyRunning) {
        app.notifyRunningInstance(key);
        return 0;
    }
    if (KxApp::instance() != &app)
        return 1; // the single-instance guard failed; the message is on standard error

    // Lets the tests end a started instance in an orderly way.
    bool quitAfterOk = false;
    const int quitAfterMs = qEnvironmentVariableIntValue("KX_TEST_QUIT_AFTER_MS", &quitAfterOk);
    if (quitAfterOk)
        QTimer::singleShot(quitAfterMs, &app, &QCoreApplication::quit);

    app.exec();
    return 0;
}
