#include "ui/sounddevices.h"

#include <QComboBox>
#include <QCoreApplication>

#include "voip/device/soundchannel.h"

namespace sounddevices {

namespace {

QString shown(const QString& name)
{
    if (name == QLatin1String(voip::kDefaultSoundDevice))
        return QCoreApplication::translate("SoundDevices", "default-audio");
    return name;
}

} // namespace

void fill(QComboBox& box, const QStringList& names)
{
    box.clear();
    for (const QString& name : names)
        box.addItem(shown(name), name);
}

QString chosen(const QComboBox& box)
{
    return box.currentIndex() < 0 ? QString() : box.currentData().toString();
}

bool choose(QComboBox& box, const QString& name, bool addMissing)
{
    int index = box.findData(name);
    if (index < 0 && addMissing) {
        box.addItem(shown(name), name);
        index = box.count() - 1;
    }
    if (index >= 0)
        box.setCurrentIndex(index);
    return index >= 0;
}

} // namespace sounddevices
