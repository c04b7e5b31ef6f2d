#include "dialogs/OptionsForm.h"

#include "associations/FileAssociations.h"
#include "platform/Errors.h"
#include "shell/FileNameFunctions.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace oxlume {

namespace {

TfrmOptions *g_optionsDialog = nullptr;

// The size the dialog was drawn for; a larger font or longer texts make it grow.
constexpr QSize kDesignSize(445, 275);
constexpr int kCustomFolderItem = 3;
const char *const kCustomFolderPrefix = "Load custom folder: ";
const char *const kFullTextProperty = "fullText";

QCheckBox *checkBox(QWidget *parent, const char *name, const char *text)
{
    auto *box = new QCheckBox(QString::fromUtf8(text), parent);
    box->setObjectName(QLatin1String(name));
    return box;
}

// A radio group whose item index is the setting's value; every item of the group's own
// button group carries its index as id.
QGroupBox *radioGroup(QWidget *parent, const char *name, const char *caption,
                      std::initializer_list<const char *> items, QButtonGroup *&group)
{
    auto *box = new QGroupBox(QString::fromUtf8(caption), parent);
    box->setObjectName(QLatin1String(name));
    auto *layout = new QVBoxLayout(box);
    group = new QButtonGroup(box);
    int id = 0;
    for (const char *item : items) {
        auto *button = new QRadioButton(QString::fromUtf8(item), box);
        button->setObjectName(QStringLiteral("%1Item%2").arg(QLatin1String(name)).arg(id));
        group->addButton(button, id++);
        layout->addWidget(button);
    }
    return box;
}

// A stored value outside the group shows as the nearest item.
void selectNearest(QButtonGroup *group, int value)
{
    const int last = int(group->buttons().size()) - 1;
    group->button(std::clamp(value, 0, last))->setChecked(true);
}

std::string pathOf(const QUrl &url)
{
    const QByteArray path = QFile::encodeName(url.toLocalFile());
    return std::string(path.constData(), std::size_t(path.size()));
}

} // namespace

OptionsHooks defaultOptionsHooks()
{
    OptionsHooks hooks;
    hooks.changeAssociations = [](bool install) { return ChangeAssociations(install); };
    hooks.browse = [](QWidget *owner, const std::string &start) -> std::optional<std::string> {
        const QUrl picked = QFileDialog::getExistingDirectoryUrl(
            owner, QStringLiteral("Browse for Folder"),
            QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(start))),
            QFileDialog::ShowDirsOnly);
        if (picked.isEmpty())
            return std::nullopt;
        // A place the browser offers that is no folder on disk (a network or virtual one).
        if (!picked.isLocalFile())
            return std::string();
        return pathOf(picked);
    };
    return hooks;
}

TfrmOptions::TfrmOptions(TOptions &options, OptionsHooks hooks, QWidget *parent)
    : QDialog(parent)
    , m_options(options)
    , m_hooks(std::move(hooks))
{
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Options"));

    pagOptions = new QTabWidget(this);
    pagOptions->setObjectName(QStringLiteral("pagOptions"));

    tabGeneral = new QWidget;
    tabGeneral->setObjectName(QStringLiteral("tabGeneral"));
    chkUseThreads = checkBox(tabGeneral, "chkUseThreads",
                             "Use a second thread to decode images in the background.");
    chkFileAssociations =
        checkBox(tabGeneral, "chkFileAssociations",
                 "Add a 'oxlume' option to the context menus of appropriate files.");
    chkShowTips =
        checkBox(tabGeneral, "chkShowTips", "Show a Tip of the Day each time the program starts");
    radStartDirectory = radioGroup(tabGeneral, "radStartDirectory", "When starting, load ",
                                   {"Reload the last folder loaded.", "Load the desktop folder.",
                                    "Load the Documents folder.", "Load custom folder:"},
                                   startDirectoryItems);
    btnChangeFolder = new QPushButton(QStringLiteral("&Change Custom Folder"), radStartDirectory);
    btnChangeFolder->setObjectName(QStringLiteral("btnChangeFolder"));
    auto *changeRow = new QHBoxLayout;
    changeRow->addStretch();
    changeRow->addWidget(btnChangeFolder);
    static_cast<QVBoxLayout *>(radStartDirectory->layout())->addLayout(changeRow);
    // A long custom folder is shortened on screen rather than widening the dialog.
    startDirectoryItems->button(kCustomFolderItem)
        ->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    auto *general = new QVBoxLayout(tabGeneral);
    general->addWidget(chkUseThreads);
    general->addWidget(chkFileAssociations);
    general->addWidget(chkShowTips);
    general->addWidget(radStartDirectory);
    general->addStretch();

    tabSlideShow = new QWidget;
    tabSlideShow->setObjectName(QStringLiteral("tabSlideShow"));
    lblShowSpeed = new QLabel(QStringLiteral("Update &speed"), tabSlideShow);
    lblShowSpeed->setObjectName(QStringLiteral("lblShowSpeed"));
    traSlideShowSpeed = new QSlider(Qt::Horizontal, tabSlideShow);
    traSlideShowSpeed->setObjectName(QStringLiteral("traSlideShowSpeed"));
    traSlideShowSpeed->setRange(kMinSlideSpeed, kMaxSlideSpeed);
    traSlideShowSpeed->setSingleStep(1);
    traSlideShowSpeed->setPageStep(1);
    traSlideShowSpeed->setTickInterval(1);
    traSlideShowSpeed->setTickPosition(QSlider::TicksBelow);
    lblShowSpeed->setBuddy(traSlideShowSpeed);
    lblSpeed = new QLabel(tabSlideShow);
    lblSpeed->setObjectName(QStringLiteral("lblSpeed"));
    // Room for the longest text, so that the track bar keeps its length while it moves.
    const QString longest = QStringLiteral("Update every three-quarter second");
    lblSpeed->setMinimumWidth(lblSpeed->fontMetrics().horizontalAdvance(longest));
    radSlideMethod = radioGroup(tabSlideShow, "radSlideMethod", "Image method ",
                                {"Show images from top to bottom of list",
                                 "Show images starting at current position and moving down",
                                 "Show images in random order"},
                                slideMethodItems);
    chkSlideStopOnMouse =
        checkBox(tabSlideShow, "chkSlideStopOnMouse", "Stop the slide show if the mouse moves");
    chkSlideFullScreen =
        checkBox(tabSlideShow, "chkSlideFullScreen", "Show the images in full screen mode");
    chkSlideShowLoop = checkBox(tabSlideShow, "chkSlideShowLoop", "Loop through images forever");

    auto *speedRow = new QHBoxLayout;
    speedRow->addWidget(traSlideShowSpeed, 1);
    speedRow->addWidget(lblSpeed);
    auto *slideShow = new QVBoxLayout(tabSlideShow);
    slideShow->addWidget(lblShowSpeed);
    slideShow->addLayout(speedRow);
    slideShow->addWidget(radSlideMethod);
    slideShow->addWidget(chkSlideStopOnMouse);
    slideShow->addWidget(chkSlideFullScreen);
    slideShow->addWidget(chkSlideShowLoop);
    slideShow->addStretch();

    pagOptions->addTab(tabGeneral, QStringLiteral("General"));
    pagOptions->addTab(tabSlideShow, QStringLiteral("Slide Show"));

    btnOk = new QPushButton(QStringLiteral("OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk);
    buttons->addWidget(btnCancel);
    auto *outer = new QVBoxLayout(m_page.page());
    outer->addWidget(pagOptions, 1);
    outer->addLayout(buttons);

    setTabOrder(chkUseThreads, chkFileAssociations);
    setTabOrder(chkFileAssociations, chkShowTips);
    setTabOrder(chkShowTips, startDirectoryItems->button(0));
    for (int i = 0; i < kCustomFolderItem; ++i)
        setTabOrder(startDirectoryItems->button(i), startDirectoryItems->button(i + 1));
    setTabOrder(startDirectoryItems->button(kCustomFolderItem), btnChangeFolder);
    setTabOrder(traSlideShowSpeed, slideMethodItems->button(0));
    setTabOrder(slideMethodItems->button(0), slideMethodItems->button(1));
    setTabOrder(slideMethodItems->button(1), slideMethodItems->button(2));
    setTabOrder(slideMethodItems->button(2), chkSlideStopOnMouse);
    setTabOrder(chkSlideStopOnMouse, chkSlideFullScreen);
    setTabOrder(chkSlideFullScreen, chkSlideShowLoop);

    connect(traSlideShowSpeed, &QSlider::valueChanged, this, &TfrmOptions::traSlideShowSpeedChange);
    connect(btnChangeFolder, &QPushButton::clicked, this, &TfrmOptions::btnChangeFolderClick);
    connect(btnOk, &QPushButton::clicked, this, [this] {
        btnOkClick();
        accept();
    });
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    // Fixed size: the drawn size, or more when the user's font needs more room.
    m_page.fitLayout(kDesignSize);

    FormCreate();
}

void TfrmOptions::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        m_page.fitLayout(kDesignSize);
}

void TfrmOptions::FormCreate()
{
    pagOptions->setCurrentWidget(tabGeneral);
}

void TfrmOptions::showEvent(QShowEvent *event)
{
    FormShow();
    QDialog::showEvent(event);
}

void TfrmOptions::FormShow()
{
    chkUseThreads->setChecked(m_options.UseWorkThread);
    chkFileAssociations->setChecked(m_options.FileAssociations);
    chkShowTips->setChecked(ShowTips());

    selectNearest(startDirectoryItems, int(m_options.StartDirectory));
    showCustomFolder();

    // setValue clamps a stored speed outside the scale to its nearer end.
    const QSignalBlocker quiet(traSlideShowSpeed);
    traSlideShowSpeed->setValue(m_options.SlideShowSpeed);
    selectNearest(slideMethodItems, int(m_options.SlideMethod));

    chkSlideStopOnMouse->setChecked(m_options.SlideStopOnMouse);
    chkSlideFullScreen->setChecked(m_options.SlideFullScreen);
    chkSlideShowLoop->setChecked(m_options.SlideShowLoop);

    traSlideShowSpeedChange();

    if (pagOptions->currentWidget() == tabGeneral)
        chkUseThreads->setFocus();
    else if (pagOptions->currentWidget() == tabSlideShow)
        traSlideShowSpeed->setFocus();
    else
        OX_ASSERT(false, "OptionsForm");
}

void TfrmOptions::traSlideShowSpeedChange()
{
    lblSpeed->setText(QStringLiteral("Update every ") +
                      QString::fromStdString(SlideSpeedText(traSlideShowSpeed->value())));
}

void TfrmOptions::btnChangeFolderClick()
{
    if (const std::optional<std::string> picked = m_hooks.browse(this, m_options.CustomDirectory)) {
        // Stored at once: a later Cancel does not take the folder back.
        m_options.CustomDirectory =
            (picked->empty() || !FolderExists(*picked)) ? DesktopPath() : *picked;
    }
    showCustomFolder();
}

void TfrmOptions::showCustomFolder()
{
    QAbstractButton *item = startDirectoryItems->button(kCustomFolderItem);
    const QString full = QString::fromUtf8(kCustomFolderPrefix) +
                         QFile::decodeName(QByteArray::fromStdString(m_options.CustomDirectory));
    item->setProperty(kFullTextProperty, full);
    item->setToolTip(full);
    // The indicator and its gap take about two text heights of the group's width.
    const int room = radStartDirectory->contentsRect().width() - 2 * item->fontMetrics().height();
    item->setText(item->fontMetrics().elidedText(full, Qt::ElideMiddle, std::max(room, 1)));
}

QString TfrmOptions::startDirectoryItemText(int index) const
{
    const QAbstractButton *item = startDirectoryItems->button(index);
    const QVariant full = item->property(kFullTextProperty);
    return full.isValid() ? full.toString() : item->text();
}

void TfrmOptions::btnOkClick()
{
    if (chkUseThreads->isChecked() != bool(m_options.UseWorkThread)) {
        // Switching the worker off: let a decode in progress finish first.
        if (m_options.UseWorkThread && m_hooks.waitForDecode)
            m_hooks.waitForDecode();
        m_options.UseWorkThread = chkUseThreads->isChecked();
    }

    const bool associate = chkFileAssociations->isChecked();
    if (associate != bool(m_options.FileAssociations)) {
        // The setting follows what the files now say: a refused hive keeps the old value.
        const Result<void> changed =
            m_hooks.changeAssociations ? m_hooks.changeAssociations(associate) : Result<void>();
        if (changed)
            m_options.FileAssociations = associate;
        else
            QMessageBox::warning(this, QStringLiteral("Options"),
                                 QString::fromStdString(changed.error().message));
    }

    SetShowTips(chkShowTips->isChecked());

    m_options.StartDirectory = TStartDirectory(startDirectoryItems->checkedId());
    m_options.SlideShowSpeed = traSlideShowSpeed->value();
    m_options.SlideMethod = TSlideMethod(slideMethodItems->checkedId());

    m_options.SlideStopOnMouse = chkSlideStopOnMouse->isChecked();
    m_options.SlideFullScreen = chkSlideFullScreen->isChecked();
    m_options.SlideShowLoop = chkSlideShowLoop->isChecked();
}

void ShowOptionsDialog(TOptions &options, OptionsHooks hooks)
{
    if (!g_optionsDialog) {
        g_optionsDialog = new TfrmOptions(options, std::move(hooks)); // kept until the end
        g_optionsDialog->setWindowModality(Qt::ApplicationModal);
    }
    g_optionsDialog->exec();
}

TfrmOptions *OptionsDialog()
{
    return g_optionsDialog;
}

} // namespace oxlume
