#include "ui/elidedlabel.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

ElidedLabel::ElidedLabel(int lines, QWidget* parent, int upTo)
    : QLabel(parent)
    , lines_(std::max(lines, 1))
    , upTo_(std::max(upTo, lines_))
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    setFixedHeight(fontMetrics().lineSpacing() * lines_ + 4);
}

void ElidedLabel::setText(const QString& text)
{
    QLabel::setText(text);
    fitHeight();
}

void ElidedLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    fitHeight();
}

void ElidedLabel::fitHeight()
{
    if (upTo_ == lines_)
        return;
    const int wanted =
        std::clamp(int(linesAt(contentsRect().width(), upTo_).size()), lines_, upTo_);
    const int height = fontMetrics().lineSpacing() * wanted + 4;
    if (height != this->height() || height != minimumHeight())
        setFixedHeight(height);
}

QStringList ElidedLabel::shownLines(int width) const
{
    // As many lines as the present height holds.
    const int room = (height() - 4) / std::max(1, fontMetrics().lineSpacing());
    return linesAt(width, std::clamp(room, lines_, upTo_));
}

QStringList ElidedLabel::linesAt(int width, int most) const
{
    const QFontMetrics metrics = fontMetrics();
    const QStringList words = text().simplified().split(' ', Qt::SkipEmptyParts);
    QStringList shown;
    QString line;
    int next = 0;
    // Fill lines word by word; a word wider than a line gets a line of its own.
    while (next < words.size() && shown.size() < most) {
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
    if (!line.isEmpty() && shown.size() < most)
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
