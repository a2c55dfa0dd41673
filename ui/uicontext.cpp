#include "ui/uicontext.h"

#include <QSettings>

#include "KxPhone/kxapp.h"

QSettings& UiContext::settings() const
{
    if (settingsOverride)
        return *settingsOverride;
    if (KxApp* app = KxApp::instance(); app && app->settings)
        return *app->settings;
    // A widget built without either still works, on the user's settings file.
    static QSettings fallback;
    return fallback;
}

KxManager* UiContext::manager() const
{
    if (managerOverride)
        return managerOverride;
    KxApp* app = KxApp::instance();
    return app ? app->manager : nullptr;
}

ContactStore* UiContext::contacts() const
{
    if (contactsOverride)
        return contactsOverride;
    KxApp* app = KxApp::instance();
    return app ? app->contacts : nullptr;
}

RecentStore* UiContext::recents() const
{
    if (recentsOverride)
        return recentsOverride;
    KxApp* app = KxApp::instance();
    return app ? app->recents : nullptr;
}

double UiContext::scaleFactor() const
{
    KxApp* app = KxApp::instance();
    return app ? app->scaleFactor : 1.0;
}
