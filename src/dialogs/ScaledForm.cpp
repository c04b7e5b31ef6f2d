#include "dialogs/ScaledForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOption>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace oxlume {

namespace {

constexpr double kLargestFactor = 8.0;

// The room a control leaves its text at its design size, and the texts it shows.
struct TextRoom {
    QRect content;
    QStringList texts;
};

TextRoom roomOf(const QWidget &control, QSize design)
{
    TextRoom room{QRect(QPoint(0, 0), design), {}};
    const QStyle *style = control.style();
    const auto *check = qobject_cast<const QCheckBox *>(&control);
    const auto *push = qobject_cast<const QPushButton *>(&control);
    if (const QAbstractButton *button =
            check ? static_cast<const QAbstractButton *>(check) : push) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.rect = room.content;
        option.text = button->text();
        room.content = style->subElementRect(
            check ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents, &option, button);
        room.texts << button->text();
    } else if (const auto *combo = qobject_cast<const QComboBox *>(&control)) {
        QStyleOptionComboBox option;
        option.initFrom(combo);
        option.rect = room.content;
        option.editable = combo->isEditable();
        room.content = style->subControlRect(QStyle::CC_ComboBox, &option,
                                             QStyle::SC_ComboBoxEditField, combo);
        for (int i = 0; i < combo->count(); ++i)
            room.texts << combo->itemText(i);
    } else if (const auto *label = qobject_cast<const QLabel *>(&control)) {
        const int margin = label->margin();
        room.content = room.content.marginsRemoved(label->contentsMargins())
                           .adjusted(margin, margin, -margin, -margin);
        room.texts << label->text();
    }
    return room;
}

// Moves the window it watches, once it is shown, back onto the available area of its screen:
// the placement by owner or centre may push a large one past an edge. Once shown, because only
// then is the frame where the window system put it.
class KeptOnScreen : public QObject {
public:
    explicit KeptOnScreen(QWidget &window)
        : QObject(&window)
        , m_window(window)
    {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            QMetaObject::invokeMethod(
                this, [this] { keepOnScreen(); }, Qt::QueuedConnection);
        return false;
    }

private:
    void keepOnScreen()
    {
        const QScreen *screen = m_window.screen();
        if (!screen || !m_window.isVisible())
            return;
        const QRect area = screen->availableGeometry();
        const QRect frame = m_window.frameGeometry();
        const int left =
            std::max(area.left(), std::min(frame.left(), area.right() - frame.width() + 1));
        const int top =
            std::max(area.top(), std::min(frame.top(), area.bottom() - frame.height() + 1));
        if (left != frame.left() || top != frame.top())
            m_window.move(left, top);
    }

    QWidget &m_window;
};

} // namespace

int scaledLength(int design, double factor)
{
    return static_cast<int>(std::ceil(design * factor - 1e-6));
}

QRect scaledRect(const QRect &design, double factor)
{
    return {static_cast<int>(std::lround(design.x() * factor)),
            static_cast<int>(std::lround(design.y() * factor)),
            scaledLength(design.width(), factor), scaledLength(design.height(), factor)};
}

double fontFitFactor(const QWidget &control, QSize design, const QStringList &texts)
{
    if (design.width() <= 0 || design.height() <= 0)
        return 1.0;
    TextRoom room = roomOf(control, design);
    if (!texts.isEmpty())
        room.texts = texts;
    double factor = 1.0;
    const auto *label = qobject_cast<const QLabel *>(&control);
    if (label && label->wordWrap()) {
        // Wrapped text grows in height as its width shrinks: the least step that holds it.
        for (const QString &text : std::as_const(room.texts)) {
            if (text.isEmpty())
                continue;
            QLabel probe;
            probe.setFont(label->font());
            probe.setWordWrap(true);
            probe.setTextFormat(label->textFormat());
            probe.setContentsMargins(label->contentsMargins());
            probe.setMargin(label->margin());
            probe.setText(text);
            while (factor < kLargestFactor &&
                   probe.heightForWidth(scaledLength(design.width(), factor)) >
                       scaledLength(design.height(), factor))
                factor *= 1.02;
        }
        return factor;
    }
    // Margins and indicators keep their size as the control grows; only the text room grows.
    const QFontMetrics metrics(control.font());
    const int spareWidth = design.width() - room.content.width();
    const int spareHeight = design.height() - room.content.height();
    bool hasText = false;
    for (const QString &text : std::as_const(room.texts)) {
        if (text.isEmpty())
            continue;
        hasText = true;
        const QSize size = metrics.size(Qt::TextShowMnemonic, text);
        factor = std::max({factor, double(size.width() + spareWidth) / design.width(),
                           double(size.height() + spareHeight) / design.height()});
    }
    // Where the style says what the control needs across (a combo box's arrow and padding,
    // a check box's indicator), that holds too. Push buttons are left out: the style's
    // least button width is a look, not room the caption needs.
    if (hasText && !qobject_cast<const QPushButton *>(&control))
        factor = std::max(factor, double(control.minimumSizeHint().width()) / design.width());
    return std::min(factor, kLargestFactor);
}

void ScaledLayout::add(QWidget *widget)
{
    m_items.emplace_back(widget, widget->geometry());
}

double ScaledLayout::fitFactor(const QWidget *except) const
{
    double factor = 1.0;
    for (const auto &[widget, design] : m_items)
        if (widget != except)
            factor = std::max(factor, fontFitFactor(*widget, design.size()));
    return factor;
}

void ScaledLayout::apply(double factor) const
{
    for (const auto &[widget, design] : m_items)
        widget->setGeometry(scaledRect(design, factor));
}

QRect ScaledLayout::design(const QWidget *widget) const
{
    for (const auto &[item, geometry] : m_items)
        if (item == widget)
            return geometry;
    return {};
}

ScrolledPage::ScrolledPage(QWidget &dialog)
    : m_dialog(dialog)
    , m_area(new QScrollArea(&dialog))
    , m_page(new QWidget)
{
    m_area->setObjectName(QStringLiteral("scrPage"));
    m_area->setFrameShape(QFrame::NoFrame);
    m_area->setWidgetResizable(true);
    m_area->setFocusPolicy(Qt::NoFocus); // the controls take the focus, and are scrolled to
    m_page->setObjectName(QStringLiteral("panPage"));
    m_area->setWidget(m_page);
    new KeptOnScreen(dialog);
    auto *fill = new QVBoxLayout(&dialog);
    fill->setContentsMargins(0, 0, 0, 0);
    fill->addWidget(m_area);
}

void ScrolledPage::fit(QSize size)
{
    m_page->setMinimumSize(size);
    QSize shown = size;
    // A window of its own knows its frame (where the platform draws or reports it).
    if (m_dialog.isWindow() && !m_dialog.testAttribute(Qt::WA_WState_Created))
        m_dialog.winId();
    if (const QScreen *screen = m_dialog.screen()) {
        // The frame, once the window has one, takes its part of the screen too.
        const QSize frame = m_dialog.frameGeometry().size() - m_dialog.geometry().size();
        const QSize room = screen->availableGeometry().size() - frame;
        // A scroll bar in one direction takes room from the other.
        const int bar = m_area->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_area);
        if (shown.height() > room.height())
            shown.rwidth() += bar;
        if (shown.width() > room.width())
            shown.rheight() += bar;
        shown = shown.boundedTo(room);
    }
    m_dialog.setFixedSize(shown);
}

void ScrolledPage::fitLayout(QSize least)
{
    fit(m_page->sizeHint().expandedTo(m_page->minimumSizeHint()).expandedTo(least));
}

} // namespace oxlume
