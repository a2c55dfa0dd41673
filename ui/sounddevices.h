#pragma once

#include <QStringList>

class QComboBox;

/// The sound devices in a choice box.  Each item shows the device's name, except the
/// default device, whose stored name ("Default audio") is shown in the interface's
/// language; the item's data is always the name the settings keep.
namespace sounddevices {

void fill(QComboBox& box, const QStringList& names);
/// The stored name of the chosen device; empty when there is none.
QString chosen(const QComboBox& box);
/// Chooses the device of that stored name, adding it when the system no longer lists it
/// (a device unplugged stays the choice until another is made).  With `addMissing` false
/// a missing device leaves the choice as it was; returns whether it was found.
bool choose(QComboBox& box, const QString& name, bool addMissing);

} // namespace sounddevices
