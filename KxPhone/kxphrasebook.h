#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <utility>

#include <QString>

/// The last few texts the client said to the user (a refusal, a call's outcome) and how
/// each was made, so that one still on screen can be said again in a new language.
/// Any thread.
class KxPhrasebook
{
public:
    /// Says the text `make` makes now, and remembers how.
    QString say(std::function<QString()> make);
    /// `shown`, if it is a text said here, made again in the language of now; any other
    /// text comes back as it is.
    QString sayAgain(const QString& shown);

    static constexpr std::size_t Remembered = 8;

private:
    std::mutex mutex_;
    std::deque<std::pair<QString, std::function<QString()>>> said_;
};
