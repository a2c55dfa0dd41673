#pragma once

#include <utility>
#include <vector>

#include <QString>

class QApplication;

/// The one QApplication of the test program, created on first use with the
/// Fusion style (as the client uses it). Call from the main thread only.
QApplication& testApplication();

/// The interface's code (every .cpp and .h under ui/ and KxPhone/ of the source tree), as
/// (file name, text); a file that cannot be read has a null text.  Read once.
const std::vector<std::pair<QString, QString>>& interfaceCode();
