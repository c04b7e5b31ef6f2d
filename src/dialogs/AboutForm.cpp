#include "dialogs/AboutForm.h"

#include "dialogs/Placed.h"
#include "platform/Errors.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <utility>

static void initDialogResources()
{
    // The artwork lives in a static library: register it explicitly.
    Q_INIT_RESOURCE(dialogs);
}

namespace oxlume {

std::int32_t CommandLineRevealCount = 0;

namespace {

TfrmAbout *g_aboutBox = nullptr;
std::vector<std::string> g_processArguments;
bool g_processArgumentsSet = false;

constexpr int kRevealingClick = 3;

QLabel *textLabel(QWidget *parent, const char *name, QRect geometry, const char *text)
{
    auto *label = placed<QLabel>(parent, name, geometry);
    label->setTextFormat(Qt::PlainText); // paths may hold '<' and '&'
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setText(QString::fromUtf8(text));
    return label;
}

} // namespace

void SetProcessArguments(std::vector<std::string> arguments)
{
    g_processArguments = std::move(arguments);
    g_processArgumentsSet = true;
}

std::vector<std::string> ProcessArguments()
{
    if (g_processArgumentsSet)
        return g_processArguments;
    std::vector<std::string> fromApplication;
    for (const QString &argument : QCoreApplication::arguments())
        fromApplication.push_back(QFile::encodeName(argument).toStdString());
    return fromApplication;
}

TfrmAbout::TfrmAbout(QWidget *parent)
    : QDialog(parent)
{
    initDialogResources();
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About Oxlume"));

    Image1 = placed<QLabel>(m_page.page(), "Image1", {8, 8, 33, 33});
    Image1->setAlignment(Qt::AlignCenter);
    Image1->installEventFilter(this);

    Label1 = textLabel(m_page.page(), "Label1", {52, 6, 271, 18}, "Oxlume 1.0 Beta");
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    Label2 = textLabel(m_page.page(), "Label2", {52, 24, 271, 17},
                       "A fast, simple image viewer for Linux.");

    lblLong = textLabel(m_page.page(), "lblLong", {8, 44, 315, 60},
                        "Oxlume, also known as Project Marzel, is a simple image viewer. The goal "
                        "of the program is to provide a simple method for viewing images without "
                        "the burden of extraneous features.");
    lblLong->setWordWrap(true);
    lblLong->setTextInteractionFlags(Qt::TextSelectableByMouse); // the revealed line can be copied

    btnClose = placed<QPushButton>(m_page.page(), "btnClose", {128, 106, 75, 25});
    btnClose->setText(QStringLiteral("Close"));
    btnClose->setDefault(true);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::accept);

    for (QWidget *child : {static_cast<QWidget *>(Image1), static_cast<QWidget *>(Label1),
                           static_cast<QWidget *>(Label2), static_cast<QWidget *>(lblLong),
                           static_cast<QWidget *>(btnClose)})
        m_layout.add(child);
    fitToFont();
}

void TfrmAbout::fitToFont()
{
    const double factor = m_layout.fitFactor();
    m_layout.apply(factor);
    m_page.fit(QSize(scaledLength(331, factor), scaledLength(135, factor)));
}

void TfrmAbout::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        fitToFont();
}

void TfrmAbout::centreOnScreen()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize own = frameGeometry().size();
    move(area.left() + (area.width() - own.width()) / 2,
         area.top() + (area.height() - own.height()) / 2);
}

void TfrmAbout::Image1DblClick()
{
    CommandLineRevealCount = checkedAdd(CommandLineRevealCount, std::int32_t{1});
    if (CommandLineRevealCount != kRevealingClick)
        return;
    std::string line;
    for (const std::string &argument : ProcessArguments())
        line += argument + ' ';
    lblLong->setText(QString::fromUtf8(line)); // display only; the bytes are not reused
}

bool TfrmAbout::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Image1 && event->type() == QEvent::MouseButtonDblClick)
        Image1DblClick();
    return QDialog::eventFilter(watched, event);
}

void TfrmAbout::showEvent(QShowEvent *event)
{
    // Rendered at show time so that the icon is sharp at the screen's pixel ratio.
    Image1->setPixmap(
        QIcon(QStringLiteral(":/dialogs/about.svg")).pixmap(QSize(32, 32), devicePixelRatioF()));
    QDialog::showEvent(event);
}

void ShowAboutBox()
{
    if (!g_aboutBox) {
        g_aboutBox = new TfrmAbout; // no owner: it stays for the rest of the process
        g_aboutBox->winId();        // a native window knows its frame, which the centring needs
    }
    g_aboutBox->centreOnScreen();
    g_aboutBox->exec();
}

TfrmAbout *AboutBox()
{
    return g_aboutBox;
}

} // namespace oxlume
