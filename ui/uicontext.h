#pragma once

class QSettings;
class KxManager;
class ContactStore;
class RecentStore;

/// What the window and its pages work with: the settings, the call manager and the two
/// stores.  A null member is taken from the application object at each use, so that the
/// running program needs to set nothing, and the manager (made after the window) is found
/// once it exists; tests set their own.  GUI thread only.
struct UiContext
{
    QSettings* settingsOverride = nullptr;
    KxManager* managerOverride = nullptr;
    ContactStore* contactsOverride = nullptr;
    RecentStore* recentsOverride = nullptr;

    /// The settings; never null while the program or a test runs.
    QSettings& settings() const;
    /// The call manager, or null before it exists.
    KxManager* manager() const;
    ContactStore* contacts() const;
    RecentStore* recents() const;
    /// The screen scale factor of the application (1 without one).
    double scaleFactor() const;
};
