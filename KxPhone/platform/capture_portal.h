#pragma once

#include <chrono>
#include <memory>

#include "KxPhone/platform/screencapture.h"

/// Capture through the desktop's screen-cast portal and PipeWire (a Wayland session).
std::unique_ptr<ScreenCapture> createPortalCapture();

/// A camera through the desktop's camera portal and PipeWire (the first camera it lists),
/// with the same calls as a screen capture: begin() asks the desktop, capture() gives the
/// newest picture filling the size asked for.  Unavailable (NoPortal) where the session has
/// no camera portal or it lists no camera.
std::unique_ptr<ScreenCapture> createPortalCamera();

/// How long the desktop's chooser may stay open before the share counts as unanswered;
/// 0 restores the default (three minutes).  For tests.
void setPortalChooserTimeout(std::chrono::milliseconds timeout);
