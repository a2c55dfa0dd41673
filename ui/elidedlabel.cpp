#include "ui/elidedlabel.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

ElidedLabel::ElidedLabel(int lines, QWidget* parent)
    : QLabel(parent)
    , lines_(std::max(lines, 1))
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    setFixedHeight(fontMetrics().lineSpacing() * lines_ + 4);
}

QStringList ElidedLabel::shownLines(int width) const
{
    const QFontMetrics metrics = fontMetrics();
    const QStringList words = text().simplified().split(' ', Qt::SkipEmptyParts);
    QStringList shown;
    QString line;
    int next = 0;
    // Fill lines word by word; a word wider than a line gets a line of its own.
    while (next < words.size() && shown.size() < lines_) {
        const QString candidate = line.isEmpty() ? words[next] : line + ' ' + words[next];
        if (line.isEmpty() || metrics.horizontalAdvance(candidate) <= width) {
            line = candidate;
            ++next;
            if (metrics.horizontalAdvance(line) > width) {
                shown << metrics.elidedText(line, Qt::ElideMiddle, width);
                line.clear();
            }
            continue;
        }
        shown << line;
        line.clear();
    }
    if (!line.isEmpty() && shown.size() < lines_)
        shown << line;
    if (next < words.size() && !shown.isEmpty()) {
        // More than fits: the last line says so.
        QString last = shown.takeLast() + ' ' + QStringList(words.mid(next)).join(' ');
        shown << metrics.elidedText(last, Qt::ElideRight, width);
    }
    return shown;
}

bool ElidedLabel::elided() const
{
    return shownLines(contentsRect().width()).join(' ') != text().simplified();
}

QSize ElidedLabel::sizeHint() const
{
    return {std::min(fontMetrics().horizontalAdvance(text()), 200), height()};
}

QSize ElidedLabel::minimumSizeHint() const
{
    return {0, height()};
}

void ElidedLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QStyleOption option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
    const QRect area = contentsRect();
    const QStringList shown = shownLines(area.width());
    const int lineHeight = fontMetrics().lineSpacing();
    const int used = lineHeight * int(shown.size());
    int top = area.top();
    if (alignment() & Qt::AlignVCenter)
        top += (area.height() - used) / 2;
    else if (alignment() & Qt::AlignBottom)
        top += area.height() - used;
    const Qt::Alignment across = alignment() & Qt::AlignHorizontal_Mask;
    for (const QString& line : shown) {
        style()->drawItemText(&painter, QRect(area.left(), top, area.width(), lineHeight),
                              int(across | Qt::AlignVCenter), palette(), isEnabled(), line,
                              foregroundRole());
        top += lineHeight;
    }
}
