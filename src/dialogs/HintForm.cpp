#include "dialogs/HintForm.h"

#include "dialogs/Placed.h"
#include "guidance/HintSettings.h"
#include "platform/Errors.h"

#include <QCheckBox>
#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include <algorithm>

static void initDialogResources()
{
    // The artwork lives in a static library: register it explicitly.
    Q_INIT_RESOURCE(dialogs);
}

namespace oxlume {

namespace {

TfrmHint *g_hintDialog = nullptr;

QLabel *textLabel(QWidget *parent, const char *name, QRect geometry)
{
    auto *label = placed<QLabel>(parent, name, geometry);
    // Hint texts are plain sentences; never let a '<' turn them into markup.
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// The heading is drawn 19 pixels high where the text is 13: the same proportion of
// whatever font the desktop uses.
constexpr double kHeadingScale = 19.0 / 13.0;

} // namespace

TfrmHint::TfrmHint(QWidget *parent)
    : QDialog(parent)
{
    initDialogResources();
    setObjectName(QStringLiteral("frmHint"));
    setWindowTitle(QStringLiteral("Hint"));

    imgLightbulb = placed<QLabel>(m_page.page(), "imgLightbulb", {8, 8, 69, 89});
    imgLightbulb->setAlignment(Qt::AlignCenter);

    panHint = placed<QFrame>(m_page.page(), "panHint", {85, 8, 282, 150});
    panHint->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panHint->setLineWidth(1);
    // The panel reads like a page of text: the colour of a window's contents, not of a
    // dialog's face.
    QPalette page = panHint->palette();
    page.setColor(QPalette::Window, page.color(QPalette::Base));
    page.setColor(QPalette::WindowText, page.color(QPalette::Text));
    panHint->setPalette(page);
    panHint->setAutoFillBackground(true);

    lblHeading = textLabel(panHint, "lblHeading", {8, 8, 266, 24});
    lblHeading->setText(QStringLiteral("Did you know..."));
    lblHint = textLabel(panHint, "lblHint", {8, 40, 266, 102});
    lblHint->setWordWrap(true);

    chkDontShowHint = placed<QCheckBox>(m_page.page(), "chkDontShowHint", {85, 166, 200, 25});
    chkDontShowHint->setText(QStringLiteral("&Don't show this hint again"));
    btnClose = placed<QPushButton>(m_page.page(), "btnClose", {292, 166, 75, 25});
    btnClose->setText(QStringLiteral("&Close"));
    btnClose->setDefault(true);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::accept);

    HeadingGap = lblHint->y() - lblHeading->y();
    for (QWidget *child :
         {static_cast<QWidget *>(imgLightbulb), static_cast<QWidget *>(panHint),
          static_cast<QWidget *>(lblHeading), static_cast<QWidget *>(lblHint),
          static_cast<QWidget *>(chkDontShowHint), static_cast<QWidget *>(btnClose)})
        m_layout.add(child);
    fitToFont();
}

void TfrmHint::fitToFont()
{
    QFont heading = font();
    heading.setBold(true);
    if (heading.pointSizeF() > 0)
        heading.setPointSizeF(heading.pointSizeF() * kHeadingScale);
    else
        heading.setPixelSize(int(heading.pixelSize() * kHeadingScale + 0.5));
    lblHeading->setFont(heading);

    // The hint's text takes the room below the heading (or the heading's own place).
    const QRect hintDesign = m_layout.design(lblHint);
    const int gap =
        lblHeading->text().isEmpty() ? hintDesign.y() - m_layout.design(lblHeading).y() : 0;
    const QSize textRoom(hintDesign.width(), hintDesign.height() + gap);
    const double factor = std::max(m_layout.fitFactor(lblHint), fontFitFactor(*lblHint, textRoom));
    m_layout.apply(factor);
    m_factor = factor;
    m_page.fit(QSize(scaledLength(375, factor), scaledLength(201, factor)));
    HeadingGap = lblHint->y() - lblHeading->y();
}

void TfrmHint::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        fitToFont();
}

void TfrmHint::prepare(const THintInfo &hint)
{
    OX_ASSERT(hint.BitNumber >= 0 && hint.BitNumber <= 31, "HintForm");
    if (hint.CanDisable) {
        chkDontShowHint->setVisible(true);
        chkDontShowHint->setChecked((HintDisabledMask & (std::uint32_t{1} << hint.BitNumber)) != 0);
    } else {
        chkDontShowHint->setVisible(false);
    }
    lblHeading->setText(QString::fromUtf8(hint.Heading));
    lblHint->setText(QString::fromUtf8(hint.Text));
    fitToFont();

    // Without a heading the hint text moves up into the heading's place.
    const int top = hint.Heading.empty() ? lblHeading->y() : lblHeading->y() + HeadingGap;
    const int bottom = panHint->contentsRect().bottom() - scaledLength(7, m_factor);
    lblHint->setGeometry(lblHint->x(), top, lblHint->width(), std::max(0, bottom - top + 1));
    m_hint = hint;
    m_hasHint = true;
}

QPoint TfrmHint::placementFor(const QWidget *centreOn) const
{
    const QSize own = frameGeometry().size();
    QRect area;
    if (centreOn)
        area = centreOn->frameGeometry();
    else if (const QScreen *screen = QGuiApplication::primaryScreen())
        area = screen->geometry();
    else
        area = QRect(0, 0, own.width(), own.height());
    // Integer halves, as C++ division does them: toward zero.
    const int left = area.left() + (area.width() - own.width()) / 2;
    const int top = area.top() + (area.height() - own.height()) / 2;
    return {std::max(left, 0), std::max(top, 0)};
}

void TfrmHint::done(int result)
{
    FormClose();
    QDialog::done(result);
}

void TfrmHint::reject()
{
    // The Close button is the cancel button: Esc and the close box give its result.
    accept();
}

void TfrmHint::showEvent(QShowEvent *event)
{
    // Rendered at show time so that the picture is sharp at the screen's pixel ratio.
    imgLightbulb->setPixmap(QIcon(QStringLiteral(":/dialogs/lightbulb.svg"))
                                .pixmap(imgLightbulb->size(), devicePixelRatioF()));
    QDialog::showEvent(event);
}

void TfrmHint::FormClose()
{
    // Only ever switches a hint off; unticking the box leaves the bit as it was.
    if (m_hasHint && !chkDontShowHint->isHidden() && chkDontShowHint->isChecked())
        DisableHint(m_hint);
}

void ShowOneTimeHint(const THintInfo &hint, QWidget *centreOn)
{
    OX_ASSERT(hint.BitNumber >= 0 && hint.BitNumber <= 31, "HintForm");
    if (HintSuppressed(hint))
        return;
    if (!g_hintDialog) {
        g_hintDialog = new TfrmHint; // no owner: it stays for the rest of the process
        g_hintDialog->winId();       // a native window knows its frame, which the centring needs
    }
    const QPoint place = g_hintDialog->placementFor(centreOn);
    g_hintDialog->move(place);
    // A move to where the dialog already is ((0, 0) for a new one) sends nothing to the
    // window system, which then places the dialog itself; state the position outright.
    if (QWindow *window = g_hintDialog->windowHandle())
        window->setFramePosition(place);
    g_hintDialog->prepare(hint);
    g_hintDialog->exec();
}

void ShowLocalHint(std::int32_t number, QWidget *mainWindow)
{
    ShowOneTimeHint(LocalHint(number), mainWindow);
}

TfrmHint *HintDialog()
{
    return g_hintDialog;
}

} // namespace oxlume
