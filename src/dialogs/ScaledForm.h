#pragma once
// Fixed-position layouts that grow with the font. A window keeps the pixel positions it was
// drawn with while its texts fit them; with a larger desktop font (or font DPI) every
// position and size is multiplied by one factor, the least at which every text fits its
// control whole.

#include <QRect>
#include <QStringList>

#include <utility>
#include <vector>

class QScrollArea;
class QWidget;

namespace oxlume {

// design scaled by factor: positions rounded, sizes rounded up so that a fit stays a fit.
QRect scaledRect(const QRect &design, double factor);
int scaledLength(int design, double factor);

// The least factor (1 or more) by which control must grow from its design size for its
// text to fit whole in its own font: a label's text (wrapped, if it wraps), a button's or
// check box's caption, or the longest item of a combo box. texts replaces what the
// control holds now (a combo box filled later, a label whose text comes later).
double fontFitFactor(const QWidget &control, QSize design, const QStringList &texts = {});

// Children at remembered design geometries, placed at a common factor of them.
class ScaledLayout {
public:
    // Remembers the widget's present geometry as its design geometry.
    void add(QWidget *widget);
    // The least factor at which the texts of every remembered widget but except fit.
    double fitFactor(const QWidget *except = nullptr) const;
    void apply(double factor) const;
    QRect design(const QWidget *widget) const;

private:
    std::vector<std::pair<QWidget *, QRect>> m_items;
};

// A dialog's controls on a page that fills it, inside a frameless scroll area: a dialog larger
// than the screen it opens on (a large font on a small screen) is made to fit the screen, and
// its page scrolls.
class ScrolledPage {
public:
    // Puts the scroll area into dialog, which must not have a layout yet.
    explicit ScrolledPage(QWidget &dialog);
    // The page, for the dialog's controls and its layout.
    QWidget *page() const { return m_page; }
    // The page at least size, the dialog fixed at size where the available area of its
    // screen holds it, else at as much as it holds, the scroll bars included.
    void fit(QSize size);
    // fit at the size the page's layout asks for, at least least.
    void fitLayout(QSize least);

private:
    QWidget &m_dialog;
    QScrollArea *m_area;
    QWidget *m_page;
};

} // namespace oxlume
