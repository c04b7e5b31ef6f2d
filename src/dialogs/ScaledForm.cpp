#include "dialogs/ScaledForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOption>

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

} // namespace oxlume
