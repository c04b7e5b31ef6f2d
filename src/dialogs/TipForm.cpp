#include "dialogs/TipForm.h"

#include "guidance/TipLocal.h"
#include "guidance/TipSettings.h"

#include <QCheckBox>
#include <QEvent>
#include <QFontInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

static void initDialogResources()
{
    // The artwork lives in a static library: register it explicitly.
    Q_INIT_RESOURCE(dialogs);
}

namespace oxlume {

namespace {

// Owned by the window it was made for; forgotten should that window ever go.
QPointer<TfrmTip> g_tipDialog;

// Drawn for a 13-pixel text font; the picture, the text column and the dialog grow with a
// larger one.
constexpr QSize kDesignSize(414, 245);
constexpr QSize kIconSize(69, 89);
constexpr int kDesignTextWidth = 300;
constexpr double kDesignTextPixels = 13.0;
constexpr double kHeadingToText = 19.0 / 13.0;

QFont scaledFont(QFont font, double factor)
{
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(std::max(1, int(std::lround(font.pixelSize() * factor))));
    return font;
}

} // namespace

TfrmTip::TfrmTip(QWidget *parent)
    : QDialog(parent)
{
    initDialogResources();
    setObjectName(QStringLiteral("frmTip"));
    setWindowTitle(QStringLiteral("Tip of the Day"));

    const double scale = std::max(1.0, QFontInfo(font()).pixelSize() / kDesignTextPixels);

    imgIcon = new QLabel(this);
    imgIcon->setObjectName(QStringLiteral("imgIcon"));
    imgIcon->setFixedSize(kIconSize * scale);
    imgIcon->setAlignment(Qt::AlignCenter);

    panTip = new QFrame(this);
    panTip->setObjectName(QStringLiteral("panTip"));
    panTip->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    // The panel reads like a page of text: the colour of a window's contents.
    QPalette page = panTip->palette();
    page.setColor(QPalette::Window, page.color(QPalette::Base));
    page.setColor(QPalette::WindowText, page.color(QPalette::Text));
    panTip->setPalette(page);
    panTip->setAutoFillBackground(true);

    Label1 = new QLabel(QStringLiteral("Did you know..."), panTip);
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont heading = scaledFont(font(), kHeadingToText);
    heading.setBold(true);
    Label1->setFont(heading);

    lblTip = new QLabel(panTip);
    lblTip->setObjectName(QStringLiteral("lblTip"));
    lblTip->setTextFormat(Qt::PlainText);
    lblTip->setWordWrap(true);
    lblTip->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Tall enough for the longest tip at the column's width, so that none is cut off.
    const int textWidth = int(std::lround(kDesignTextWidth * scale));
    int textHeight = 0;
    const QFontMetrics metrics = lblTip->fontMetrics();
    for (std::int32_t i = 0; i < TipCount; ++i) {
        const QRect room(0, 0, textWidth, 100000);
        const QString tip = QString::fromStdString(GetTip(i));
        const int height = metrics.boundingRect(room, Qt::TextWordWrap, tip).height();
        textHeight = std::max(textHeight, height);
    }
    lblTip->setMinimumSize(textWidth, textHeight);

    auto *panel = new QVBoxLayout(panTip);
    panel->addWidget(Label1);
    panel->addWidget(lblTip, 1);

    chkShowTips = new QCheckBox(QStringLiteral("&Show tips when program starts"), this);
    chkShowTips->setObjectName(QStringLiteral("chkShowTips"));
    chkShowTips->setChecked(true);
    btnNext = new QPushButton(QStringLiteral("&Next"), this);
    btnNext->setObjectName(QStringLiteral("btnNext"));
    btnNext->setAutoDefault(false);
    btnClose = new QPushButton(QStringLiteral("&Close"), this);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    btnClose->setDefault(true);

    auto *top = new QHBoxLayout;
    top->addWidget(imgIcon, 0, Qt::AlignTop);
    top->addWidget(panTip, 1);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(chkShowTips, 1);
    bottom->addWidget(btnNext);
    bottom->addWidget(btnClose);
    auto *outer = new QVBoxLayout(m_page.page());
    outer->addLayout(top, 1);
    outer->addLayout(bottom);

    connect(btnNext, &QPushButton::clicked, this, &TfrmTip::btnNextClick);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::accept);

    m_page.fitLayout(kDesignSize);
}

void TfrmTip::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        m_page.fitLayout(kDesignSize);
}

void TfrmTip::showEvent(QShowEvent *event)
{
    // Rendered at show time so that the picture is sharp at the screen's pixel ratio.
    imgIcon->setPixmap(QIcon(QStringLiteral(":/dialogs/lightbulb.svg"))
                           .pixmap(imgIcon->size(), devicePixelRatioF()));
    FormShow();
    QDialog::showEvent(event);
}

void TfrmTip::FormShow()
{
    // A stored index from an older or edited settings file starts the cycle afresh.
    NextTipIndex = ValidTipIndex(NextTipIndex);
    FirstShownTip = NextTipIndex;
    btnNext->setEnabled(true);
    showOneTip();
    btnClose->setFocus();
}

void TfrmTip::showOneTip()
{
    lblTip->setText(QString::fromStdString(GetTip(NextTipIndex)));
    NextTipIndex = (NextTipIndex + 1 >= TipCount) ? 0 : NextTipIndex + 1;
}

void TfrmTip::btnNextClick()
{
    showOneTip();
    if (NextTipIndex == FirstShownTip)
        btnNext->setEnabled(false);
}

void TfrmTip::done(int result)
{
    FormClose();
    QDialog::done(result);
}

void TfrmTip::reject()
{
    accept();
}

void TfrmTip::FormClose()
{
    ShowTipsSetting = chkShowTips->isChecked();
}

void ShowTipOfTheDay(QWidget *mainWindow)
{
    if (!ShowTipsSetting)
        return;
    if (!g_tipDialog)
        g_tipDialog = new TfrmTip(mainWindow); // kept for the rest of the process
    g_tipDialog->exec();
}

TfrmTip *TipDialog()
{
    return g_tipDialog;
}

} // namespace oxlume
