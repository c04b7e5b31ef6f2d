// TfrmMain's commands: the actions with their shortcuts, the popup menu, the showing and
// hiding of the left side's three parts, and what clicks and keys in the image area do.

#include "MainForm.h"

#include "Busy.h"
#include "PropertiesSheet.h"
#include "SplitterLayout.h"
#include "dialogs/AboutForm.h"
#include "dialogs/HintForm.h"
#include "dialogs/OptionsForm.h"
#include "platform/Errors.h"
#include "shell/FileNameFunctions.h"
#include "shell/PIDLFunctions.h"
#include "slideshow/RandomNumbers.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QToolButton>
#include <QWheelEvent>

#include <chrono>
#include <mutex>
#include <thread>

namespace oxlume {

namespace {

// QFile::moveToTrash, guarded: where the home Trash cannot be made, Qt moves the file into
// a "files" folder below the current directory and reports success. The home Trash is made
// first, and a file that did not land in a Trash is put back.
bool moveToTrash(const QString &path)
{
    const QString homeTrash =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
        QStringLiteral("/Trash");
    const bool onHome = QStorageInfo(path).rootPath() == QStorageInfo(QDir::home()).rootPath();
    if (onHome &&
        !(QDir::isAbsolutePath(homeTrash) && QDir().mkpath(homeTrash + QStringLiteral("/files")) &&
          QDir().mkpath(homeTrash + QStringLiteral("/info"))))
        return false;
    QString inTrash;
    if (!QFile::moveToTrash(path, &inTrash))
        return false;
    const QFileInfo landed(inTrash);
    if (landed.isAbsolute() && landed.dir().dirName() == QStringLiteral("files"))
        return true;
    QFile::rename(inTrash, path);
    return false;
}

} // namespace

// --- Actions and menu ------------------------------------------------------------------

void TfrmMain::buildActions()
{
    const auto action = [this](QAction *&slot, const char *name, const char *caption,
                               QKeySequence shortcut, bool visible) {
        slot = new QAction(QString::fromUtf8(caption), this);
        slot->setObjectName(QString::fromLatin1(name));
        slot->setShortcut(shortcut);
        slot->setShortcutContext(Qt::WindowShortcut);
        slot->setVisible(visible);
        addAction(slot); // shortcuts work anywhere in the window, visible or not
    };
    action(Refresh, "Refresh", "&Refresh", Qt::Key_F5, true);
    action(Directory, "Directory", "&Directory...", Qt::CTRL | Qt::Key_D, true);
    action(HideList, "HideList", "&Hide List", {}, true);
    action(ShowOptions, "ShowOptions", "&Options...", Qt::CTRL | Qt::Key_O, true);
    action(ShowList, "ShowList", "&Show List", {}, false);
    action(ShowControls, "ShowControls", "Show Controls", {}, true);
    action(ShowAbout, "ShowAbout", "&About...", Qt::Key_F1, true);
    action(StartSlideShow, "StartSlideShow", "S&lide Show", Qt::CTRL | Qt::Key_S, true);
    action(Exit, "Exit", "E&xit", {}, true);
    action(MakeListActive, "MakeListActive", "MakeListActive", Qt::CTRL | Qt::Key_L, true);
    action(StopSlideShow, "StopSlideShow", "StopSlideShow", {}, true);
    action(HideControls, "HideControls", "Hide Controls", {}, false);
    action(Properties, "Properties", "Properties", {}, false);
    action(HideButtons, "HideButtons", "Hide Buttons", {}, true);
    action(ShowButtons, "ShowButtons", "Show Buttons", {}, false);
    action(ToggleListVisible, "ToggleListVisible", "Hide List", Qt::CTRL | Qt::Key_V, true);
    action(ToggleControlsVisible, "ToggleControlsVisible", "Show Controls", Qt::CTRL | Qt::Key_C,
           true);
    action(ToggleButtonsVisible, "ToggleButtonsVisible", "Hide Buttons", Qt::CTRL | Qt::Key_B,
           true);
    // Desktop conventions beyond the menu's own keys; none is in the popup menu.
    action(FullScreen, "FullScreen", "Full Screen", Qt::Key_F11, true);
    action(LeaveFullScreen, "LeaveFullScreen", "Leave Full Screen", Qt::Key_Escape, true);
    LeaveFullScreen->setEnabled(false); // Esc is free for others while not full screen
    action(DeleteFile, "DeleteFile", "Move to Trash", Qt::Key_Delete, true);
    // Plus comes as Ctrl+= on many layouts; the keypad keys carry their own modifier.
    const auto keys = [](std::initializer_list<QKeyCombination> combinations) {
        QList<QKeySequence> sequences;
        for (QKeyCombination combination : combinations) {
            sequences << QKeySequence(combination);
            sequences << QKeySequence(QKeyCombination(
                combination.keyboardModifiers() | Qt::KeypadModifier, combination.key()));
        }
        return sequences;
    };
    action(ZoomInKey, "ZoomInKey", "Zoom In", {}, true);
    ZoomInKey->setShortcuts(keys({Qt::CTRL | Qt::Key_Plus, Qt::CTRL | Qt::Key_Equal}));
    action(ZoomOutKey, "ZoomOutKey", "Zoom Out", {}, true);
    ZoomOutKey->setShortcuts(keys({Qt::CTRL | Qt::Key_Minus}));
    action(Zoom100Key, "Zoom100Key", "Actual Size", {}, true);
    Zoom100Key->setShortcuts(keys({Qt::CTRL | Qt::Key_0}));
    action(PopupKey, "PopupKey", "Menu", Qt::Key_Menu, true);
    PopupKey->setShortcuts({QKeySequence(Qt::Key_Menu), QKeySequence(Qt::SHIFT | Qt::Key_F10)});
    // Ctrl+C keeps its meaning (the image controls); the copy takes Shift as well.
    action(CopyImage, "CopyImage", "&Copy Image", Qt::CTRL | Qt::SHIFT | Qt::Key_C, true);

    const auto wire = [this](QAction *a, void (TfrmMain::*handler)()) {
        connect(a, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
    };
    wire(Refresh, &TfrmMain::RefreshExecute);
    wire(Directory, &TfrmMain::DirectoryExecute);
    wire(HideList, &TfrmMain::HideListExecute);
    wire(ShowOptions, &TfrmMain::ShowOptionsExecute);
    wire(ShowList, &TfrmMain::ShowListExecute);
    wire(ShowControls, &TfrmMain::ShowControlsExecute);
    wire(ShowAbout, &TfrmMain::ShowAboutExecute);
    wire(StartSlideShow, &TfrmMain::StartSlideShowExecute);
    wire(Exit, &TfrmMain::ExitExecute);
    wire(MakeListActive, &TfrmMain::MakeListActiveExecute);
    wire(StopSlideShow, &TfrmMain::StopSlideShowExecute);
    wire(HideControls, &TfrmMain::HideControlsExecute);
    wire(Properties, &TfrmMain::PropertiesExecute);
    wire(HideButtons, &TfrmMain::HideButtonsExecute);
    wire(ShowButtons, &TfrmMain::ShowButtonsExecute);
    wire(ToggleListVisible, &TfrmMain::ToggleListVisibleExecute);
    wire(ToggleControlsVisible, &TfrmMain::ToggleControlsVisibleExecute);
    wire(ToggleButtonsVisible, &TfrmMain::ToggleButtonsVisibleExecute);
    wire(FullScreen, &TfrmMain::ToggleFullScreenExecute);
    wire(LeaveFullScreen, &TfrmMain::LeaveFullScreenExecute);
    wire(DeleteFile, &TfrmMain::DeleteExecute);
    wire(PopupKey, &TfrmMain::PopupKeyExecute);
    wire(CopyImage, &TfrmMain::CopyImageExecute);
    // Through the buttons' own handlers, so that their pressed states stay right.
    connect(ZoomInKey, &QAction::triggered, this, [this] { m_controls->btnZoomInClick(); });
    connect(ZoomOutKey, &QAction::triggered, this, [this] { m_controls->btnZoomOutClick(); });
    connect(Zoom100Key, &QAction::triggered, this, [this] { m_controls->btnZoom100Click(); });

    const auto bind = [](QPushButton *button, QAction *a) {
        button->setText(a->text());
        QObject::connect(button, &QPushButton::clicked, a, &QAction::trigger);
    };
    bind(btnOpen, Directory);
    bind(btnOptions, ShowOptions);
    bind(btnRefresh, Refresh);
    bind(btnAbout, ShowAbout);
    bind(btnSlideShow, StartSlideShow);
}

void TfrmMain::buildPopupMenu()
{
    mnuPopup = new QMenu(this);
    mnuPopup->setObjectName(QStringLiteral("mnuPopup"));
    for (QAction *a : {Directory, ShowOptions, Refresh, StartSlideShow, ShowAbout})
        mnuPopup->addAction(a);
    mnuPopup->addSeparator()->setObjectName(QStringLiteral("N1"));
    for (QAction *a : {ToggleListVisible, ToggleButtonsVisible, ToggleControlsVisible})
        mnuPopup->addAction(a);
    mnuPopup->addSeparator()->setObjectName(QStringLiteral("N2"));
    mnuPopup->addAction(CopyImage);
    mnuPopup->addAction(Properties);
    mnuPopup->addAction(Exit);

    // One menu on three controls; the handler is told which one it opens on. Positions of
    // the two scroll areas arrive in their viewports' coordinates.
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { openPopupMenu(this, mapToGlobal(pos)); });
    for (QAbstractScrollArea *area : {static_cast<QAbstractScrollArea *>(Imager1),
                                      static_cast<QAbstractScrollArea *>(lstFiles)}) {
        area->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(area, &QWidget::customContextMenuRequested, this, [this, area](const QPoint &pos) {
            openPopupMenu(area, area->viewport()->mapToGlobal(pos));
        });
    }
}

void TfrmMain::openPopupMenu(QWidget *opener, const QPoint &globalPosition)
{
    mnuPopupPopup(opener);
    mnuPopup->popup(globalPosition);
}

void TfrmMain::mnuPopupPopup(QWidget *opener)
{
    m_popupOpener = opener;
    const int row = lstFiles->selectedRow();
    Properties->setVisible(opener == lstFiles && row >= 0 &&
                           !m_model.entry(row).isFolderOrParent());
}

void TfrmMain::connectCommands()
{
    connect(Imager1, &imaging::TImager::clicked, this, [this] { Imager1Click(); });
    connect(Imager1, &imaging::TImager::doubleClicked, this, [this] { Imager1DblClick(); });
    connect(Imager1, &imaging::TImager::entered, this, [this] { Imager1Enter(); });
    connect(Imager1, &imaging::TImager::keyPressed, this,
            [this](const QString &text) { Imager1KeyPress(text); });
    connect(Imager1, &imaging::TImager::mouseMoved, this, [this](QPoint position) {
        Imager1MouseMove(Imager1->viewport()->mapToGlobal(position));
    });
    connect(&timSlideShow, &QTimer::timeout, this, [this] { timSlideShowTimer(); });
    connect(lstFiles, &FileListView::rightPressed, this,
            [this](const QPoint &pos) { lstFilesMouseDown(pos); });
    connect(m_controls->btnHideControls, &QToolButton::clicked, this,
            [this] { HideControlsExecute(); });
    connect(btnHideButtons, &QToolButton::clicked, this, [this] { HideButtonsExecute(); });
    connect(btnHideList, &QPushButton::clicked, this, [this] { btnHideListClick(); });
    connect(Splitter1, &QSplitter::splitterMoved, this, [this] { Splitter1Moved(); });
}

// --- The left side ---------------------------------------------------------------------

// The visibility tests below read each panel's own flag (isHidden), not isVisible(), which
// is false for everything inside a hidden left side.

TfrmMain::PanelSwitch TfrmMain::panelSwitch(Panel which) const
{
    switch (which) {
    case Panel::List:
        return {panTools,          nullptr, ShowList,    HideList,
                ToggleListVisible, nullptr, "Show List", "Hide List"};
    case Panel::Controls:
        return {panControls,           panControlsHidden,       ShowControls,    HideControls,
                ToggleControlsVisible, &TOptions::ShowControls, "Show Controls", "Hide Controls"};
    case Panel::Buttons:
        return {panButtons,           panButtonsHidden,       ShowButtons,    HideButtons,
                ToggleButtonsVisible, &TOptions::ShowButtons, "Show Buttons", "Hide Buttons"};
    }
    raiseAssertion("Commands", __LINE__);
}

void TfrmMain::togglePanel(Panel which)
{
    const PanelSwitch p = panelSwitch(which);
    const bool show = p.panel->isHidden();
    // A panel of the left side comes into sight together with the side.
    if (show && which != Panel::List)
        setPanelShown(Panel::List, true);
    p.show->setVisible(!show);
    p.hide->setVisible(show);
    if (which == Panel::List)
        Splitter1->handle(1)->setHidden(!show);
    if (p.strip)
        p.strip->setHidden(show);
    p.panel->setHidden(!show);
    if (p.setting)
        m_options.*p.setting = show;
    p.toggle->setText(QString::fromLatin1(show ? p.hideCaption : p.showCaption));
    // The keys follow what is visible: a hidden list must not take them unseen.
    if (which == Panel::List) {
        if (show)
            lstFiles->setFocus();
        else
            Imager1->setFocus();
    }
    // The shown image keeps its adjustments when the controls go; later loads are shown as
    // they are.
    if (show && which == Panel::Controls)
        applyImageAdjustments();
    updateMinimumHeight();
}

void TfrmMain::setPanelShown(Panel which, bool shown)
{
    if (panelSwitch(which).panel->isHidden() == shown)
        togglePanel(which);
}

void TfrmMain::updateMinimumHeight()
{
    const bool controls = !panControls->isHidden(), buttons = !panButtons->isHidden();
    const int tools = MinimumWindowHeight(!panTools->isHidden(), controls, buttons,
                                          panButtons->height(), lstFiles->minimumHeight());
    setMinimumHeight(std::min(tools, std::max(kWindowMinimumHeight, roomOnScreen().height())));
}

void TfrmMain::ToggleListVisibleExecute()
{
    togglePanel(Panel::List);
}
void TfrmMain::HideListExecute()
{
    setPanelShown(Panel::List, false);
}
void TfrmMain::ShowListExecute()
{
    setPanelShown(Panel::List, true);
}
void TfrmMain::ToggleControlsVisibleExecute()
{
    togglePanel(Panel::Controls);
}
void TfrmMain::ShowControlsExecute()
{
    setPanelShown(Panel::Controls, true);
}
void TfrmMain::HideControlsExecute()
{
    setPanelShown(Panel::Controls, false);
}
void TfrmMain::ToggleButtonsVisibleExecute()
{
    togglePanel(Panel::Buttons);
}
void TfrmMain::ShowButtonsExecute()
{
    setPanelShown(Panel::Buttons, true);
}
void TfrmMain::HideButtonsExecute()
{
    setPanelShown(Panel::Buttons, false);
}

void TfrmMain::btnHideListClick()
{
    HideListExecute();
    ShowLocalHint(0, this);
}

void TfrmMain::Splitter1Moved()
{
    layoutTools(panToolsColumn->width());
}

void TfrmMain::layoutTools(int width)
{
    // The strips and the image controls' hide button follow the real width; the filter box
    // and the buttons are laid out in design units and grown with the font.
    const ToolsLayout real = LayoutForToolsWidth(width);
    const double factor = m_toolsScale;
    const ToolsLayout layout = LayoutForToolsWidth(static_cast<int>(width / factor));
    imgShowControls->move(real.stripLeft, imgShowControls->y());
    imgShowButtons->move(real.stripLeft, imgShowButtons->y());
    const auto place = [this, factor](QWidget *widget, int left, int designWidth) {
        const QRect design = m_buttonsLayout.design(widget);
        widget->setGeometry(
            scaledRect(QRect(left, design.y(), designWidth, design.height()), factor));
    };
    place(cmbImageTypes, 0, layout.filterWidth);
    place(btnHideButtons, layout.hideButtonsLeft, m_buttonsLayout.design(btnHideButtons).width());
    for (QPushButton *b : {btnOpen, btnRefresh, btnSlideShow})
        place(b, 0, layout.buttonWidth);
    for (QPushButton *b : {btnOptions, btnAbout, btnHideList})
        place(b, layout.rightColumnLeft, layout.buttonWidth);
    QToolButton *hideControls = m_controls->btnHideControls;
    hideControls->move(real.hideControlsLeft, hideControls->y());
}

void TfrmMain::fitToolsToFont()
{
    const double factor = m_buttonsLayout.fitFactor();
    if (factor == m_toolsScale)
        return; // the layout in place holds
    m_toolsScale = factor;
    panButtons->setFixedHeight(scaledLength(kButtonsPanelHeight, factor));
    lstFiles->setMinimumHeight(scaledLength(kListMinimumHeight, factor)); // as many rows
    // Grown, the left side's column keeps the width at which its texts fit (narrower, it
    // scrolls), and the window keeps the image area it has at the design size beside it while
    // the screen is wide enough.
    const int fitted = factor > 1.0 ? scaledLength(kToolsDesignWidth, factor) : 1;
    const int imageSide = kWindowMinimumWidth - kToolsDesignWidth - Splitter1->handleWidth();
    const int room = std::max(kWindowMinimumWidth, roomOnScreen().width());
    panToolsColumn->setMinimumWidth(fitted);
    // On a screen too narrow for both, the image side gives way first, down to a third of it.
    panTools->setMinimumWidth(std::min(fitted, room * 2 / 3));
    setMinimumWidth(
        std::clamp(fitted + imageSide + Splitter1->handleWidth(), kWindowMinimumWidth, room));
    keepOnScreen();
    const int tools = std::max(panTools->minimumWidth(),
                               std::min(scaledLength(kToolsDesignWidth, factor),
                                        width() - imageSide - Splitter1->handleWidth()));
    Splitter1->setSizes({tools, std::max(1, width() - tools - Splitter1->handleWidth())});
    layoutTools(panToolsColumn->width());
    updateMinimumHeight();
    keepOnScreen();
}

// --- The list and the image area -------------------------------------------------------

void TfrmMain::lstFilesMouseDown(const QPoint &position)
{
    // Only existing entries count: below the last one there is none.
    const int row = lstFiles->indexAt(position).row();
    if (row == lstFiles->selectedRow())
        return;
    lstFiles->setSelectedRow(row);
    lstFilesClick();
}

void TfrmMain::Imager1Click()
{
    if (timSlideShow.isActive())
        StopSlideShowExecute();
}

void TfrmMain::Imager1KeyPress(const QString &text)
{
    // Only a key that produces a character: Shift or an arrow alone does not stop.
    if (timSlideShow.isActive() && !text.isEmpty())
        StopSlideShowExecute();
}

void TfrmMain::Imager1MouseMove(const QPoint &globalPosition)
{
    if (timSlideShow.isActive() && m_options.SlideStopOnMouse &&
        m_slideShow.pointerMovedAway(globalPosition.x(), globalPosition.y()))
        StopSlideShowExecute();
}

void TfrmMain::Imager1DblClick()
{
    if (!panTools->isHidden())
        HideListExecute();
    else
        ShowListExecute();
}

void TfrmMain::Imager1Enter()
{
    // The image area keeps the focus only while the list side is hidden.
    if (!panTools->isHidden() && !lstFiles->isHidden())
        lstFiles->setFocus();
}

void TfrmMain::stepImage(int step)
{
    const int row = nextImageRow(m_model.entries(), lstFiles->selectedRow(), step);
    if (row < 0)
        return;
    lstFiles->setSelectedRow(row);
    lstFilesClick();
}

bool TfrmMain::imageAreaKey(const QKeyEvent &event)
{
    // During a show every character key stops it (Imager1KeyPress), Space included.
    if (timSlideShow.isActive() ||
        (event.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)))
        return false;
    static constexpr struct {
        int key;
        int step;
    } kSteps[] = {
        {Qt::Key_Right, 1}, {Qt::Key_Space, 1},      {Qt::Key_PageDown, 1},
        {Qt::Key_Left, -1}, {Qt::Key_Backspace, -1}, {Qt::Key_PageUp, -1},
    };
    for (const auto &entry : kSteps) {
        if (entry.key == event.key()) {
            stepImage(entry.step);
            return true;
        }
    }
    return false;
}

bool TfrmMain::imageAreaWheel(const QWheelEvent &event)
{
    if (!(event.modifiers() & Qt::ControlModifier))
        return false;
    // One step per notch (120); touchpads send the same angle in smaller parts.
    m_wheelRest += event.angleDelta().y();
    while (std::abs(m_wheelRest) >= 120) {
        const bool in = m_wheelRest > 0;
        m_wheelRest += in ? -120 : 120;
        m_controls->zoomStep(in, event.position());
    }
    return true;
}

void TfrmMain::ToggleFullScreenExecute()
{
    // The show's own full screen ends with the show, which puts everything back.
    if (m_slideOwnsFullScreen && timSlideShow.isActive()) {
        StopSlideShowExecute();
        return;
    }
    if (m_fullScreen->isActive()) {
        LeaveFullScreenExecute();
        return;
    }
    m_listBeforeFullScreen = !panTools->isHidden();
    HideListExecute();
    m_fullScreen->enter();
    LeaveFullScreen->setEnabled(true);
    Imager1->setFocus();
}

void TfrmMain::LeaveFullScreenExecute()
{
    if (!m_fullScreen->isActive())
        return;
    m_fullScreen->leave();
    LeaveFullScreen->setEnabled(false);
    if (m_listBeforeFullScreen)
        ShowListExecute();
}

void TfrmMain::DeleteExecute()
{
    const int row = lstFiles->selectedRow();
    if (row < 0 || m_model.entry(row).isFolderOrParent())
        return;
    const std::string path = EntryPath(row);
    const QString name = QFile::decodeName(QByteArray::fromStdString(fileNamePart(path)));
    const auto answer = QMessageBox::question(this, QStringLiteral("Oxlume"),
                                              QStringLiteral("Move \"%1\" to the Trash?").arg(name),
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer != QMessageBox::Yes)
        return;
    if (!moveToTrash(QFile::decodeName(QByteArray::fromStdString(path)))) {
        QMessageBox::warning(this, QStringLiteral("Oxlume"),
                             QStringLiteral("Cannot move \"%1\" to the Trash: there is no Trash "
                                            "for it, or it cannot be moved there. The file "
                                            "was not deleted.")
                                 .arg(name));
        return;
    }
    // As after a deletion outside: the row keeps its place, now with the next entry.
    RefreshExecute();
}

void TfrmMain::PopupKeyExecute()
{
    QWidget *focus = QApplication::focusWidget();
    if (focus == lstFiles || focus == lstFiles->viewport()) {
        const int row = lstFiles->selectedRow();
        const QRect rect =
            row < 0 ? lstFiles->viewport()->rect() : lstFiles->visualRect(m_model.index(row, 0));
        openPopupMenu(lstFiles, lstFiles->viewport()->mapToGlobal(rect.center()));
    } else if (focus == Imager1 || focus == Imager1->viewport()) {
        openPopupMenu(Imager1,
                      Imager1->viewport()->mapToGlobal(Imager1->viewport()->rect().center()));
    } else {
        openPopupMenu(this, mapToGlobal(rect().center()));
    }
}

// --- Other commands --------------------------------------------------------------------

void TfrmMain::CopyImageExecute()
{
    // A large photo fitted is shown from a reduced decode: the copy gets the whole image,
    // once it has been decoded.
    if (Imager1->isStandIn()) {
        m_copyWhenWhole = m_loader->RequestedFile();
        (void)m_loader->requestWholeImage();
        return;
    }
    m_copyWhenWhole.clear();
    const QImage shown = Imager1->BitmapList();
    if (!shown.isNull())
        QGuiApplication::clipboard()->setImage(shown);
}

void TfrmMain::RefreshExecute()
{
    OpenFolder(PIDLCopy(m_currentPIDL), m_currentDirectory, true, std::string());
}

void TfrmMain::DirectoryExecute()
{
    const QString start = QFile::decodeName(
        QByteArray(m_currentDirectory.data(), qsizetype(m_currentDirectory.size())));
    const QString chosen = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Browse for Folder"), start, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return; // cancelled
    const QByteArray path = QFile::encodeName(chosen);
    PIDL folder = FolderPathToPIDL(std::string(path.constData(), std::size_t(path.size())));
    if (folder.isAbsent())
        return;
    OpenFolder(std::move(folder), std::string(), false, std::string());
}

void TfrmMain::ShowOptionsExecute()
{
    OptionsHooks hooks = defaultOptionsHooks();
    hooks.waitForDecode = [this] {
        BusyGuard busy;
        // Polled rather than blocked on, so that the window still repaints while a large
        // image finishes decoding; input waits until the dialog has closed.
        std::mutex &decodeLock = m_loader->DecodeLock();
        while (!decodeLock.try_lock()) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        decodeLock.unlock();
    };
    ShowOptionsDialog(m_options, std::move(hooks));
}

void TfrmMain::ShowAboutExecute()
{
    ShowAboutBox();
}

SlideEntries TfrmMain::slideEntries() const
{
    return {m_model.count(), m_imageCount,
            [this](int row) { return !m_model.entry(row).isFolderOrParent(); }};
}

void TfrmMain::StartSlideShowExecute()
{
    if (!CanStartSlideShow(m_imageCount)) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Note"),
                        QStringLiteral("The slide show cannot run in this directory because "
                                       "there are not enough image files."),
                        QMessageBox::Ok);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
        return;
    }
    {
        BusyGuard busy;
        const bool fullScreen = m_options.SlideFullScreen;
        // Out-of-range stored values are clamped by start(), before anything changes.
        m_slideShow.start(m_options.SlideShowSpeed, int(m_options.SlideMethod), fullScreen,
                          slideEntries(), ProcessRandom());
        Imager1->setPaintSizeMode(3); // stretch; btnStretch is left as it is
        // A show started again keeps what the first one saved for the end.
        if (!timSlideShow.isActive())
            SlideListWasVisible = !panTools->isHidden();
        if (fullScreen && !m_fullScreen->isActive()) {
            m_fullScreen->enter();
            m_slideOwnsFullScreen = true;
        }
        HideListExecute();
        timSlideShow.setInterval(m_slideShow.intervalMs());
        if (m_slideShow.order() == SlideOrder::TopToBottom && m_model.count() > 0)
            lstFiles->setSelectedRow(0);
    }
    Imager1->setFocus();
    // Long intervals outlive the idle release: the next slide stays decoded meanwhile.
    m_loader->setKeepReadAheadWhenIdle(true);
    timSlideShow.start();
    if (m_slideShow.order() != SlideOrder::FromCurrent || Imager1->BitmapListCount() == 0)
        timSlideShowTimer();
}

void TfrmMain::timSlideShowTimer()
{
    // Never runs ahead of the decoder: the previous slide stays up until it is replaced.
    if (m_options.UseWorkThread && !m_loader->isWorkerParked())
        return;
    const SlideShow::Step step = m_slideShow.next(slideEntries(), lstFiles->selectedRow(),
                                                  m_options.SlideShowLoop, ProcessRandom());
    if (step.stop) {
        StopSlideShowExecute();
        return;
    }
    lstFiles->setSelectedRow(step.row); // without the list's click handler
    ShowImage(EntryPath(step.row));
}

void TfrmMain::StopSlideShowExecute()
{
    // Also called on every hand-off: without a show there is nothing to put back.
    if (!timSlideShow.isActive() && !m_slideShow.running())
        return;
    timSlideShow.stop();
    if (m_slideOwnsFullScreen) {
        m_slideOwnsFullScreen = false;
        m_fullScreen->leave(); // old bounds, or maximised; the area's own background
    }
    if (SlideListWasVisible) {
        ShowListExecute();
    }
    m_slideShow.stop(ProcessRandom());
    m_loader->setKeepReadAheadWhenIdle(false);
}

void TfrmMain::ExitExecute()
{
    // Ends the loop without closing the window, so the settings are not saved.
    QCoreApplication::exit(0);
}

void TfrmMain::MakeListActiveExecute()
{
    if (!panTools->isHidden())
        lstFiles->setFocus();
}

void TfrmMain::PropertiesExecute()
{
    const int row = lstFiles->selectedRow();
    if (row < 0 || m_model.entry(row).isFolderOrParent())
        return;
    // Asynchronous and silent: a missing file manager never holds up the window.
    ShowPropertiesSheet(EntryPath(row), m_currentDirectory, this);
}

} // namespace oxlume
