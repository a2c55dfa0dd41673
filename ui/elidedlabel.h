#pragma once

#include <QLabel>

/// A label that never asks for more room than it has: its text wraps at spaces onto at
/// most `lines` lines of a fixed height, and what does not fit (a long word, or the lines
/// after the last) is elided with "…".  text() and the tool tip keep the whole text.
/// Given `upTo` lines more than `lines`, the label takes as many of them as its text
/// needs at its width, and `lines` when the text is shorter.
class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ElidedLabel(int lines = 1, QWidget* parent = nullptr, int upTo = 0);

    /// Sets the text and, for a label that grows, its height (through QLabel* the height
    /// follows at the next resize).
    void setText(const QString& text);

    /// The lines as drawn at `width` pixels.
    QStringList shownLines(int width) const;
    /// Whether the text is cut at the label's present width.
    bool elided() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QStringList linesAt(int width, int most) const;
    void fitHeight();

    int lines_;
    int upTo_;
};
