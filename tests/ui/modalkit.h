#pragma once

// Acting on modal dialogs from a test: their exec() does not return until they close, so
// the test's steps run from a timer inside the dialog's own event loop.

#include <functional>

#include <QApplication>
#include <QTimer>
#include <QWidget>

namespace kx::testutil {

/// Runs `act` once on the next visible modal widget of type `Window` (a QMessageBox, a
/// QFileDialog, or any QWidget).
template <typename Window = QWidget> void onNextModal(std::function<void(Window&)> act)
{
    auto* poll = new QTimer();
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        auto* window = qobject_cast<Window*>(QApplication::activeModalWidget());
        if (!window || !window->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        act(*window);
    });
    poll->start(10);
}

} // namespace kx::testutil
