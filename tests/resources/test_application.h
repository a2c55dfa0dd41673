#pragma once

class QApplication;

/// The one QApplication of the test program, created on first use with the
/// Fusion style (as the client uses it). Call from the main thread only.
QApplication& testApplication();
