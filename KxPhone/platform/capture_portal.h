#pragma once

#include <chrono>
#include <memory>

#include "KxPhone/platform/screencapture.h"

/// Capture through the desktop's screen-cast portal and PipeWire (a Wayland session).
std::unique_ptr<ScreenCapture> createPortalCapture();

/// How long the desktop's chooser may stay open before the share counts as unanswered;
/// 0 restores the default (three minutes).  For tests.
void setPortalChooserTimeout(std::chrono::milliseconds timeout);
