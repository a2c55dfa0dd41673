#include "ui/mainwindow.h"

#include <thread>

#include <QAbstractButton>
#include <QApplication>
#include <QDockWidget>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include "tests/ui/modalkit.h"

namespace {

/// Answers the next modal message box with `button` once it is shown.
void answerNextBox(QMessageBox::StandardButton button)
{
    kx::testutil::onNextModal<QMessageBox>(
        [button](QMessageBox& box) { box.button(button)->click(); });
}

TEST(MainWindow, EngineSignalsReachTheirSlotsAlsoFromAnotherThread)
{
    MainWindow window;
    window.connectEngine();
    EXPECT_TRUE(window.isHidden());
    emit window.signalShowWindow();
    EXPECT_TRUE(window.isVisible());

    window.hide();
    std::thread engine([&window] {
        emit window.signalShowMain();
        emit window.signalIncomingCall("caller", false);
        emit window.signalShowWindow();
    });
    engine.join();
    EXPECT_TRUE(window.isHidden()); // queued: nothing ran on the engine thread
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.isVisible());
}

TEST(MainWindow, TrayClickShowsOtherActivationsDoNot)
{
    MainWindow window;
    window.onTray(QSystemTrayIcon::Context);
    window.onTray(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(window.isHidden());
    window.onTray(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(window.isVisible());
}

// The pages beside the picture grow with the window, as a maximised window would have them.
TEST(MainWindow, ThePagesGrowWithTheWindow)
{
    MainWindow window;
    window.connectEngine();
    window.show();
    window.resize(1000, 700);
    QCoreApplication::processEvents();
    const int narrow = window.homeDock()->width();
    window.resize(1800, 1000);
    QCoreApplication::processEvents();
    EXPECT_GE(window.homeDock()->width(), 450);
    EXPECT_GT(window.homeDock()->width(), narrow);
}

// Last in this file: once the application has been told to quit, Qt runs no further
// nested event loops (message boxes) in this process.
TEST(MainWindow, ExitAsksAndOnlyYesEndsTheEventLoop)
{
    MainWindow window;
    QEventLoop loop;
    bool ended = false;
    QTimer::singleShot(0, &window, [&] {
        answerNextBox(QMessageBox::No);
        window.onExit();
        EXPECT_TRUE(window.isVisible()); // shown first, and still there after No
        answerNextBox(QMessageBox::Yes);
        window.onExit();
    });
    QTimer::singleShot(10000, &loop, [&] { loop.exit(1); });
    ended = loop.exec() == 0;
    EXPECT_TRUE(ended);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
