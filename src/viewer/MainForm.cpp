#include "MainForm.h"

#include "Activation.h"
#include "Busy.h"
#include "SplitterLayout.h"
#include "WindowPlacement.h"
#include "dialogs/AboutForm.h"
#include "dialogs/HintForm.h"
#include "dialogs/OptionsForm.h"
#include "dialogs/Placed.h"
#include "dialogs/TipForm.h"
#include "platform/Errors.h"
#include "resources/glyphs/Glyphs.h"
#include "shell/FileNameFunctions.h"
#include "shell/ImageTypes.h"
#include "shell/PIDLFunctions.h"
#include "slideshow/RandomNumbers.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBitmap>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFontInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSplitter>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>

static void initViewerResources()
{
    // The resources live in a static library: register them explicitly.
    Q_INIT_RESOURCE(viewer);
}

namespace oxlume {

namespace {

// The folder glyphs, compiled in: an image file, even from the resources, would have Qt
// load every image format plugin at start to find its reader.
#include "resources/Folder.xpm"
#include "resources/FolderUp.xpm"

// A 13 x 13 bitmap whose white pixels let the row's fill show through.
QPixmap loadFolderBitmap(const char *const xpm[])
{
    QPixmap pixmap(xpm);
    if (!pixmap.isNull())
        pixmap.setMask(pixmap.createMaskFromColor(Qt::white));
    return pixmap;
}

} // namespace

TfrmMain::TfrmMain(TOptions &options, std::string firstArgument, QWidget *parent)
    : QMainWindow(parent)
    , m_options(options)
    , m_firstArgument(std::move(firstArgument))
    , m_collator(EntryCollator())
{
    initViewerResources();
    setObjectName(QStringLiteral("frmMain"));
    setWindowIcon(QIcon(QStringLiteral(":/viewer/oxlume.svg")));
    buildLayout();
    buildActions();
    buildPopupMenu();
    connectCommands();
    FormCreate();
    m_fullScreen = std::make_unique<FullScreenPresentation>(*this, *Imager1);
    setAcceptDrops(true);
    nameControls();
    restorePlacement();
}

TfrmMain::~TfrmMain() = default;

// --- Life cycle ------------------------------------------------------------------------

void TfrmMain::FormCreate()
{
    switch (m_options.StartDirectory) {
    case TStartDirectory::LastFolder: m_currentDirectory = m_options.LastDirectory; break;
    case TStartDirectory::Desktop: m_currentDirectory = DesktopPath(); break;
    case TStartDirectory::Documents: m_currentDirectory = DocumentsPath(); break;
    case TStartDirectory::Custom: m_currentDirectory = m_options.CustomDirectory; break;
    default: m_currentDirectory.clear(); break; // a stored value we do not know
    }
    if (m_currentDirectory.empty())
        m_currentDirectory = DesktopPath();

    UnadjustedImager = std::make_unique<imaging::WindowlessImager>();
    const QPoint cursor = QCursor::pos();
    const QScreen *screen = QGuiApplication::primaryScreen();
    SeedRandom(cursor.x(), cursor.y(), screen ? screen->geometry().width() : 0);
    m_currentPIDL = PIDL();
    m_parentPIDL = PIDL();
    DecoderImager = std::make_unique<imaging::WindowlessImager>();
    // The loader holds both locks and starts the worker parked, below normal priority.
    ImageLoader::WindowHooks hooks =
        ImageLoader::hooksFor(*this, [this] { applyImageAdjustments(); });
    // The progress texts start out empty until the first image request; the window's
    // caption and title never are (they read "Oxlume" at least).
    const QString programName = QStringLiteral("Oxlume");
    hooks.setCaption = [this, programName](const QString &text) {
        setWindowTitle(text.isEmpty() ? programName : text);
    };
    hooks.setTitle = [this, programName](const QString &text) {
        setWindowIconText(text.isEmpty() ? programName : text);
    };
    m_loader = std::make_unique<ImageLoader>(*Imager1, *DecoderImager, *UnadjustedImager, m_options,
                                             std::move(hooks), this);
    // The file named on the command line decodes while the window and the listing are made.
    if (!m_firstArgument.empty() && FileExists(m_firstArgument)) {
        const std::string longForm = NormalisePath(m_firstArgument);
        m_loader->readAheadNow(longForm.empty() ? m_firstArgument : longForm);
    }
    // Read ahead the show's next slide (for random order the pick is made now and the tick
    // uses it), else the image entry below the selection.
    m_loader->setNextFileProvider([this] {
        if (timSlideShow.isActive()) {
            const int row = m_slideShow.peek(slideEntries(), lstFiles->selectedRow(),
                                             m_options.SlideShowLoop, ProcessRandom());
            return row < 0 ? std::string() : EntryPath(row);
        }
        const int next = lstFiles->selectedRow() + 1;
        return next > 0 && next < m_model.count() ? EntryPath(next) : std::string();
    });
    connect(m_loader.get(), &ImageLoader::imageHandedOver, this, [this] {
        if (!m_copyWhenWhole.empty() && !Imager1->isStandIn() &&
            m_copyWhenWhole == m_loader->RequestedFile())
            CopyImageExecute();
        else if (m_copyWhenWhole != m_loader->RequestedFile())
            m_copyWhenWhole.clear();
    });
    // A file that cannot be shown is named in the image area, with the reason; no message
    // box, as loads stay silent.
    connect(
        m_loader.get(), &ImageLoader::loadFailed, this,
        [this](const std::string &path, const QString &reason) {
            if (path != m_loader->RequestedFile())
                return;
            lblFailure->setText(
                QStringLiteral("Cannot show %1: %2")
                    .arg(QFile::decodeName(QByteArray::fromStdString(fileNamePart(path))), reason));
            colourFailureText();
            lblFailure->show();
        });
}

void TfrmMain::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        FormShow();
    }
}

void TfrmMain::FormShow()
{
    const QString caption = QStringLiteral("Oxlume");
    setWindowTitle(caption);
    setWindowIconText(caption);

    {
        const QSignalBlocker quiet(cmbImageTypes);
        cmbImageTypes->clear();
        for (const FileTypes &row : ImageTypeTable)
            cmbImageTypes->addItem(
                QString::fromUtf8(row.Description.data(), qsizetype(row.Description.size())));
        cmbImageTypes->setCurrentIndex(kDefaultImageType);
    }
    fitToolsToFont();

    if (m_options.ShowControls)
        ShowControlsExecute();
    if (!m_options.ShowButtons)
        HideButtonsExecute();
    keepOnScreen(); // the panels and the font may have made the window taller or wider

    // Rows get their height before anything is selected, so that scrolling to the selection
    // measures the rows as they are drawn.
    const int fontHeight = std::abs(QFontInfo(lstFiles->font()).pixelSize());
    m_delegate->setRowHeight(std::max(1, fontHeight * 13 / 11));
    lstFiles->doItemsLayout();

    if (m_firstArgument.empty() || !openPath(m_firstArgument, true))
        OpenFolder(PIDL(), m_currentDirectory, true, std::string());

    m_loader->startUpdates();
    // The list takes the keys from the start; the filter box would turn arrows and typed
    // letters into filter changes.
    lstFiles->setFocus();
}

bool TfrmMain::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate && !m_activated) {
        m_activated = true;
        FormActivate();
    }
    return QMainWindow::event(event);
}

void TfrmMain::FormActivate()
{
    // Shown after the activation has been handled, not inside it: a modal loop started
    // from within the event would run with the activation half done.
    QMetaObject::invokeMethod(
        this, [this] { ShowTipOfTheDay(this); }, Qt::QueuedConnection);
}

void TfrmMain::closeEvent(QCloseEvent *event)
{
    FormClose();
    QMainWindow::closeEvent(event);
}

void TfrmMain::FormClose()
{
    rememberPlacement();
    // The window closes either way; the user learns that the settings were not kept.
    if (const Result<void> saved = SaveOptions(m_currentDirectory); !saved)
        QMessageBox::warning(this, QStringLiteral("Oxlume"),
                             QString::fromStdString(saved.error().message));
}

// --- Placement -------------------------------------------------------------------------

void TfrmMain::restorePlacement()
{
    QList<QRect> screens;
    if (const QScreen *primary = QGuiApplication::primaryScreen())
        screens << primary->availableGeometry();
    for (const QScreen *screen : QGuiApplication::screens())
        if (screen != QGuiApplication::primaryScreen())
            screens << screen->availableGeometry();
    if (screens.isEmpty())
        return;
    const std::optional<SavedPlacement> saved = parsePlacement(m_options.WindowPlacement);
    if (!saved) {
        setGeometry(firstStartGeometry(screens.front(), minimumSize()));
        return;
    }
    setGeometry(pulledOnScreen(saved->geometry, screens));
    if (saved->maximised)
        setWindowState(windowState() | Qt::WindowMaximized);
}

QSize TfrmMain::roomOnScreen() const
{
    const QScreen *own = screen();
    if (!own)
        return {QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
    return own->availableGeometry().size() - (frameGeometry().size() - size());
}

void TfrmMain::keepOnScreen()
{
    if (isMaximized() || isFullScreen() || !screen())
        return;
    const QRect frame = frameGeometry();
    const QRect inside = keptInside(frame, screen()->availableGeometry());
    if (inside == frame)
        return;
    resize(size() - (frame.size() - inside.size()));
    move(inside.topLeft());
}

void TfrmMain::rememberPlacement()
{
    // Full screen is not a place to come back to: the state before it is.
    const bool maximised = m_fullScreen->isActive() ? m_fullScreen->wasMaximised() : isMaximized();
    m_options.WindowPlacement = formatPlacement({normalGeometry(), maximised});
}

void TfrmMain::prepareForExit()
{
    m_loader->prepareForExit();
}

// --- Listing ---------------------------------------------------------------------------

void TfrmMain::OpenFolder(PIDL list, const std::string &path, bool force, std::string select)
{
    const int oldIndex = lstFiles->selectedRow();
    if (force && select.empty() && oldIndex >= 0)
        select = std::string(m_model.entry(oldIndex).key());

    const bool listGiven = !list.isAbsent();
    std::string target;
    if (listGiven)
        force = true;
    else if (path == ".." || FolderExists(path))
        target = path;
    else
        target = folderPart(path);

    if (!force && m_currentDirectory == target) {
        if (!select.empty())
            SelectFile(select, oldIndex);
        return;
    }

    BusyGuard busy;
    PIDL folder;
    bool directoryFromList = listGiven || target == "..";
    if (listGiven) {
        folder = std::move(list);
    } else if (target == "..") {
        folder = PIDLCopy(m_parentPIDL);
    } else {
        if (!target.empty())
            folder = FolderPathToPIDL(target);
        if (folder.isAbsent()) {
            // An unreachable path shows the desktop; the listed folder's path follows it,
            // so that the entries shown there build paths that load.
            folder = DesktopPIDL();
            directoryFromList = true;
        }
    }
    if (!folder.isAbsent())
        enumerateFolder(std::move(folder), directoryFromList, target);

    if (!select.empty())
        SelectFile(select, oldIndex);
    else
        ShowImage(std::string());
}

bool TfrmMain::enumerateFolder(PIDL folder, bool directoryFromList, const std::string &target)
{
    const MaskFilter filter(ImageTypeAt(cmbImageTypes->currentIndex()).Masks);
    std::optional<FolderListing> listing = ListFolder(folder, filter, m_collator);
    if (!listing)
        return false;
    m_currentPIDL = std::move(folder);
    m_parentPIDL = std::move(listing->parent);
    m_currentDirectory = directoryFromList ? PIDLToPath(m_currentPIDL) : target;
    m_loader->dropReadAhead(m_currentDirectory);
    m_imageCount = listing->imageCount;
    m_model.setEntries(std::move(listing->entries));
    return true;
}

void TfrmMain::SelectFile(const std::string &name, int oldIndex)
{
    const int count = m_model.count();
    int row = -1;
    if (count > 0) {
        const long found = LocateKey(m_model.entries(), m_collator, name);
        if (found >= 0)
            row = static_cast<int>(found);
        else if (oldIndex < count)
            row = oldIndex;
    }
    lstFiles->setSelectedRow(row);
    lstFilesClick();
}

std::size_t TfrmMain::FindEntry(std::string_view key, std::size_t low, std::size_t high) const
{
    return oxlume::FindEntry(m_model.entries(), m_collator, key, low, high);
}

int TfrmMain::selectedIndex() const
{
    return lstFiles->selectedRow();
}

std::string TfrmMain::EntryPath(int row) const
{
    const FileEntry &entry = m_model.entry(row);
    if (entry.isFolderOrParent())
        return {};
    if (!entry.path.empty())
        return entry.path;
    return JoinPath(m_currentDirectory, entry.key());
}

// --- List events -----------------------------------------------------------------------

void TfrmMain::lstFilesClick()
{
    const int row = lstFiles->selectedRow();
    ShowImage(row < 0 ? std::string() : EntryPath(row));
}

void TfrmMain::lstFilesDblClick()
{
    const int row = lstFiles->selectedRow();
    if (row < 0)
        return;
    const FileEntry &entry = m_model.entry(row);
    if (!entry.isFolderOrParent()) {
        ShowImage(EntryPath(row));
    } else if (entry.isParent()) {
        OpenFolder(PIDL(), "..", false, " " + LastPathComponent(m_currentDirectory));
    } else {
        TPIDLFileFind record;
        if (!FolderCacheFind(entry.key().substr(1), record))
            raiseAssertion("MainForm", 908);
        OpenFolder(PIDLConcat(m_currentPIDL, record.IDList), std::string(), false, std::string());
    }
}

void TfrmMain::lstFilesKeyPress(const QByteArray &character)
{
    if (character == "\r" || character == " ") {
        lstFilesDblClick();
        return;
    }
    if (character.isEmpty() || m_model.count() == 0)
        return;
    const std::string key(character.constData(), std::size_t(character.size()));
    const auto row = static_cast<int>(FindEntry(key, 0, std::size_t(m_model.count() - 1)));
    lstFiles->setSelectedRow(row);
    ShowImage(EntryPath(row)); // empty for a folder entry: clears the image
}

void TfrmMain::cmbImageTypesChange()
{
    OpenFolder(PIDLCopy(m_currentPIDL), m_currentDirectory, true, std::string());
}

void TfrmMain::ReceiveHandOff(const std::string &path, const std::string &activationToken)
{
    if (isMinimized())
        showNormal();
    if (!showsSecondaryDialog())
        bringToFront(*this, activationToken);
    openHandedPath(path);
}

void TfrmMain::openHandedPath(const std::string &path)
{
    if (path.empty() || !(FileExists(path) || FolderExists(path)))
        return;
    StopSlideShow->trigger();
    openPath(path, false);
}

bool TfrmMain::openPath(const std::string &path, bool force)
{
    std::string longForm = NormalisePath(path);
    if (longForm.empty())
        longForm = path;
    if (FolderExists(longForm)) {
        OpenFolder(PIDL(), longForm, force, std::string());
        const int row = nextImageRow(m_model.entries(), -1, 1);
        if (row >= 0) {
            lstFiles->setSelectedRow(row);
            lstFilesClick();
        }
        return true;
    }
    if (!FileExists(longForm))
        return false;
    if (force)
        m_currentDirectory = folderPart(longForm);
    OpenFolder(PIDL(), folderPart(longForm), force, fileNamePart(longForm));
    ShowImage(longForm);
    return true;
}

bool TfrmMain::showsSecondaryDialog() const
{
    const auto shown = [](const QWidget *dialog) { return dialog && dialog->isVisible(); };
    return shown(TipDialog()) || shown(OptionsDialog()) || shown(AboutBox()) || shown(HintDialog());
}

void TfrmMain::ShowImage(const std::string &path)
{
    if (path != m_loader->RequestedFile())
        lblFailure->hide();
    m_loader->ShowImage(path);
}

QString TfrmMain::failureText() const
{
    return lblFailure->isHidden() ? QString() : lblFailure->text();
}

// --- Image adjustments -----------------------------------------------------------------

void TfrmMain::applyImageAdjustments()
{
    ApplyImageAdjustments(m_controls->state(), *Imager1, *UnadjustedImager);
}

// --- Building the window ---------------------------------------------------------------

namespace {

QWidget *panel(QWidget *parent, const char *name, int height, bool visible)
{
    auto *widget = new QWidget(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setFixedHeight(height);
    widget->setVisible(visible);
    return widget;
}

QLabel *strip(QWidget *parent, const char *name, QRect geometry, Glyph glyph, const char *hint)
{
    auto *label = placed<QLabel>(parent, name, geometry);
    setGlyph(label, glyph, QSize(37, 6));
    label->setToolTip(QString::fromLatin1(hint));
    label->setCursor(Qt::PointingHandCursor);
    return label;
}

} // namespace

void TfrmMain::buildLayout()
{
    resize(600, 450);
    setMinimumSize(kWindowMinimumWidth, kWindowMinimumHeight);

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setHandleWidth(3);
    Splitter1->setChildrenCollapsible(false);
    setCentralWidget(Splitter1);

    panTools = new QScrollArea;
    panTools->setObjectName(QStringLiteral("panTools"));
    panTools->setMinimumWidth(1);
    panTools->setFrameShape(QFrame::NoFrame);
    panTools->setWidgetResizable(true);
    panTools->setFocusPolicy(Qt::NoFocus); // the keys stay with the list and the controls
    panToolsColumn = new QWidget;
    panToolsColumn->setObjectName(QStringLiteral("panToolsColumn"));
    auto *column = new QVBoxLayout(panToolsColumn);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    Imager1 = new imaging::TImager;
    Imager1->setObjectName(QStringLiteral("Imager1"));
    Imager1->setFocusPolicy(Qt::ClickFocus); // no focus by Tab
    lblFailure = new QLabel(Imager1->viewport());
    lblFailure->setObjectName(QStringLiteral("lblFailure"));
    lblFailure->setTextFormat(Qt::PlainText);
    lblFailure->setAlignment(Qt::AlignCenter);
    // A long reason wraps inside the area instead of running past both of its edges.
    lblFailure->setWordWrap(true);
    lblFailure->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    lblFailure->setAttribute(Qt::WA_TransparentForMouseEvents);
    lblFailure->hide();
    (new QVBoxLayout(Imager1->viewport()))->addWidget(lblFailure);
    m_controls = new ImageControls(panToolsColumn, *Imager1, [this] { applyImageAdjustments(); });
    panControls = m_controls->panControls;
    panControlsHidden = panel(panToolsColumn, "panControlsHidden", kPanelStripHeight, true);
    imgShowControls = strip(panControlsHidden, "imgShowControls", {66, 1, 37, 6}, Glyph::ShowDown,
                            "Show image controls");
    lstFiles = new FileListView;
    lstFiles->setObjectName(QStringLiteral("lstFiles"));
    lstFiles->setMinimumHeight(kListMinimumHeight); // gives way first when the window is short
    lstFiles->setModel(&m_model);
    m_delegate = new FileListDelegate(m_model, loadFolderBitmap(Folder), loadFolderBitmap(FolderUp),
                                      lstFiles);
    lstFiles->setItemDelegate(m_delegate);
    panButtonsHidden = panel(panToolsColumn, "panButtonsHidden", kPanelStripHeight, false);
    imgShowButtons =
        strip(panButtonsHidden, "imgShowButtons", {66, 2, 37, 6}, Glyph::ShowUp, "Show buttons");
    panButtons = buildButtonsPanel();

    column->addWidget(panControls);
    column->addWidget(panControlsHidden);
    column->addWidget(lstFiles, 1);
    column->addWidget(panButtonsHidden);
    column->addWidget(panButtons);
    panTools->setWidget(panToolsColumn);

    Splitter1->addWidget(panTools);
    Splitter1->addWidget(Imager1);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({kToolsDesignWidth, 600 - kToolsDesignWidth - 3});

    for (QWidget *widget : {panToolsColumn, static_cast<QWidget *>(imgShowControls),
                            panControlsHidden, static_cast<QWidget *>(imgShowButtons),
                            panButtonsHidden, static_cast<QWidget *>(Imager1), Imager1->viewport()})
        widget->installEventFilter(this);

    connect(lstFiles, &FileListView::selectionMoved, this, [this] { lstFilesClick(); });
    connect(lstFiles, &FileListView::doubleClickedEntry, this, [this] { lstFilesDblClick(); });
    connect(lstFiles, &FileListView::characterTyped, this,
            [this](const QByteArray &c) { lstFilesKeyPress(c); });
    connect(lstFiles, &FileListView::stepRequested, this, [this](int step) { stepImage(step); });
    connect(cmbImageTypes, &QComboBox::currentIndexChanged, this,
            [this] { cmbImageTypesChange(); });
}

QWidget *TfrmMain::buildButtonsPanel()
{
    QWidget *pan = panel(panToolsColumn, "panButtons", kButtonsPanelHeight, true);
    cmbImageTypes = placed<QComboBox>(pan, "cmbImageTypes", {0, 3, 153, 21});
    btnHideButtons = placed<QToolButton>(pan, "btnHideButtons", {156, 4, 11, 10});
    btnHideButtons->setToolTip(QStringLiteral("Hide buttons"));
    setGlyph(btnHideButtons, Glyph::HideDown);
    btnHideButtons->setIconSize(QSize(11, 10));
    btnHideButtons->setAutoRaise(true);
    btnHideButtons->setFocusPolicy(Qt::NoFocus);
    btnOpen = placed<QPushButton>(pan, "btnOpen", {0, 28, 81, 25});
    btnOptions = placed<QPushButton>(pan, "btnOptions", {88, 28, 81, 25});
    btnRefresh = placed<QPushButton>(pan, "btnRefresh", {0, 56, 81, 25});
    btnAbout = placed<QPushButton>(pan, "btnAbout", {88, 56, 81, 25});
    btnSlideShow = placed<QPushButton>(pan, "btnSlideShow", {0, 84, 81, 25});
    btnHideList = placed<QPushButton>(pan, "btnHideList", {88, 84, 81, 25});
    btnHideList->setText(QStringLiteral("&Hide List"));
    for (QPushButton *b : {btnOpen, btnOptions, btnRefresh, btnAbout, btnSlideShow, btnHideList})
        b->setFocusPolicy(Qt::NoFocus);
    m_buttonsLayout.add(cmbImageTypes);
    m_buttonsLayout.add(btnHideButtons);
    for (QPushButton *b : {btnOpen, btnOptions, btnRefresh, btnAbout, btnSlideShow, btnHideList})
        m_buttonsLayout.add(b);
    return pan;
}

bool TfrmMain::eventFilter(QObject *watched, QEvent *event)
{
    // The column's width changes with the splitter, the window and the scroll bar's coming.
    if (watched == panToolsColumn && event->type() == QEvent::Resize)
        layoutTools(panToolsColumn->width());
    if (watched == Imager1 && event->type() == QEvent::KeyPress &&
        imageAreaKey(static_cast<const QKeyEvent &>(*event)))
        return true;
    if (watched == Imager1->viewport() && event->type() == QEvent::Wheel &&
        imageAreaWheel(static_cast<const QWheelEvent &>(*event)))
        return true;
    // The background changes with full screen and the slide show; the line follows it.
    if (watched == Imager1->viewport() && event->type() == QEvent::Paint && lblFailure->isVisible())
        colourFailureText();
    const bool click = event->type() == QEvent::MouseButtonPress;
    const bool doubleClick = event->type() == QEvent::MouseButtonDblClick;
    if ((click && watched == imgShowControls) || (doubleClick && watched == panControlsHidden))
        ShowControlsExecute();
    else if ((click && watched == imgShowButtons) || (doubleClick && watched == panButtonsHidden))
        ShowButtonsExecute();
    return QMainWindow::eventFilter(watched, event);
}

void TfrmMain::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    // A new theme: the glyphs take its colours.
    if (event->type() == QEvent::PaletteChange)
        retintGlyphs(this);
    if (event->type() == QEvent::FontChange && m_shown)
        fitToolsToFont();
}

void TfrmMain::dragEnterEvent(QDragEnterEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!urls.isEmpty() && urls.front().isLocalFile())
        event->acceptProposedAction();
}

void TfrmMain::dropEvent(QDropEvent *event)
{
    // Several files: the first one, as a second start with several arguments does.
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || !urls.front().isLocalFile())
        return;
    event->acceptProposedAction();
    openHandedPath(QFile::encodeName(urls.front().toLocalFile()).toStdString());
}

void TfrmMain::colourFailureText()
{
    const QColor background = Imager1->BackColor();
    const QColor text = background.lightnessF() < 0.5 ? QColor(Qt::white) : QColor(Qt::black);
    // The role the label draws with: in a scroll area's viewport that is Text, not WindowText.
    const QPalette::ColorRole role = lblFailure->foregroundRole();
    if (lblFailure->palette().color(role) == text)
        return; // also ends the repaint that a change of palette starts
    QPalette palette = lblFailure->palette();
    palette.setColor(role, text);
    lblFailure->setPalette(palette);
}

void TfrmMain::nameControls()
{
    // Screen readers say what a control is for: its hint, else its caption.
    lstFiles->setAccessibleName(QStringLiteral("Folders and images"));
    panTools->setAccessibleName(QStringLiteral("Folder list and commands"));
    cmbImageTypes->setAccessibleName(QStringLiteral("Show files of type"));
    Imager1->setAccessibleName(QStringLiteral("Image"));
    for (QWidget *widget : findChildren<QWidget *>()) {
        if (!widget->accessibleName().isEmpty())
            continue;
        QString name = widget->toolTip();
        if (const auto *button = qobject_cast<QAbstractButton *>(widget); button && name.isEmpty())
            name = button->text().remove(QLatin1Char('&'));
        if (!name.isEmpty())
            widget->setAccessibleName(name);
    }
}

} // namespace oxlume
