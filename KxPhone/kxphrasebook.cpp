#include "KxPhone/kxphrasebook.h"

QString KxPhrasebook::say(std::function<QString()> make)
{
    QString text = make();
    std::lock_guard lock(mutex_);
    said_.emplace_back(text, std::move(make));
    while (said_.size() > Remembered)
        said_.pop_front();
    return text;
}

QString KxPhrasebook::sayAgain(const QString& shown)
{
    std::function<QString()> make;
    {
        std::lock_guard lock(mutex_);
        for (auto it = said_.rbegin(); it != said_.rend() && !make; ++it)
            if (it->first == shown)
                make = it->second;
    }
    if (!make || shown.isEmpty())
        return shown;
    QString text = make();
    std::lock_guard lock(mutex_);
    for (auto& [said, again] : said_)
        if (said == shown)
            said = text;
    return text;
}
