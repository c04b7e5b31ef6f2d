#pragma once
// TfrmMain: the main window. On the left the list of one folder's sub-folders and images
// (with the filter box and buttons below it, the image controls above it), on the right
// the image area. The window lists folders through the namespace of shell/PIDLFunctions.h
// and shows images through the ImageLoader it owns.

#include "Adjustments.h"
#include "FileList.h"
#include "FileListView.h"
#include "FullScreen.h"
#include "ImageControls.h"
#include "ImageLoader.h"
#include "dialogs/ScaledForm.h"
#include "imaging/control/Imager.h"
#include "platform/Namespace.h"
#include "settings/OptionsUnit.h"
#include "slideshow/SlideShow.h"

#include <QAction>
#include <QCollator>
#include <QMainWindow>
#include <QTimer>

#include <memory>
#include <string>
#include <string_view>

class QComboBox;
class QDragEnterEvent;
class QDropEvent;
class QKeyEvent;
class QWheelEvent;
class QMenu;
class QScrollArea;
class QSplitter;
class QToolButton;
class QPushButton;
class QLabel;

namespace oxlume {

class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    // options: the settings record, loaded before the window exists and saved when it
    // closes. firstArgument: the first plain command-line argument, empty when none.
    TfrmMain(TOptions &options, std::string firstArgument, QWidget *parent = nullptr);
    ~TfrmMain() override;

    // --- The file list ---
    // Lists a folder, given its item-ID list (taken over) or a path (".." for the parent
    // of the listed folder). force lists again even when path names the listed folder;
    // select is the key to select afterwards (empty: the image is cleared). A folder that
    // cannot be listed leaves the list and the listed folder as they were.
    void OpenFolder(PIDL list, const std::string &path, bool force, std::string select);
    // Selects the entry with that key, else the row oldIndex when it exists, then acts as a
    // click on the list.
    void SelectFile(const std::string &name, int oldIndex);
    // See oxlume::FindEntry; raises RangeCheckError for indexes outside the list.
    std::size_t FindEntry(std::string_view key, std::size_t low, std::size_t high) const;

    void lstFilesClick();
    void lstFilesDblClick();
    // 13 (Return) and 32 (space) act as a double-click; a printable character selects the
    // first image whose name is not less than it.
    void lstFilesKeyPress(const QByteArray &character);
    void cmbImageTypesChange();

    // A path handed over by a second start (empty: none), with the activation token that
    // came with it: the window is restored when minimised and comes to the front while no
    // secondary dialog has been created; a running slide show stops, and an existing file
    // or folder opens as openPath does. Anything else only brings the window forward.
    void ReceiveHandOff(const std::string &path, const std::string &activationToken = {});
    // Opens a file (its folder listed, the file selected and shown) or a folder (listed, its
    // first image selected and shown). force lists again even when the folder is listed.
    // False when the path names neither. Shared by the hand-off, the start and a drop.
    bool openPath(const std::string &path, bool force);
    // True while a secondary dialog (Tip of the Day, Options, About, a hint) is shown: a
    // hand-off then leaves the window where it is, behind or beside its dialog. (The dialogs
    // live on, hidden, after their first use; a hidden one does not count, or the window
    // would never come forward again after the first start's Tip of the Day.)
    bool showsSecondaryDialog() const;
    // The receiving steps of a hand-off without the window's coming forward, for a drop too:
    // a running slide show stops and an existing file or folder opens as openPath does.
    void openHandedPath(const std::string &path);

    void ShowImage(const std::string &path);

    // --- Commands (Commands.cpp) ---
    void RefreshExecute();
    void DirectoryExecute();
    void ShowOptionsExecute();
    void ShowAboutExecute();
    void StartSlideShowExecute();
    void StopSlideShowExecute();
    // The slide show's timer handler; the start also calls it once directly.
    void timSlideShowTimer();
    void ExitExecute();
    void MakeListActiveExecute();
    void PropertiesExecute();
    void ToggleListVisibleExecute();
    void HideListExecute();
    void ShowListExecute();
    void ToggleControlsVisibleExecute();
    void ShowControlsExecute();
    void HideControlsExecute();
    void ToggleButtonsVisibleExecute();
    // F11 and Esc: the window covers the screen with the image alone, and comes back.
    void ToggleFullScreenExecute();
    void LeaveFullScreenExecute();
    // Delete: after a confirmation that names it, the selected image file goes to the
    // Trash and the entry that takes its place is selected. Without a Trash for the file
    // nothing is deleted and a message says so.
    void DeleteExecute();
    // Menu key, Shift+F10: the popup menu on the control with the focus.
    void PopupKeyExecute();
    // Ctrl+Shift+C: the image as shown (adjusted, turned) goes to the clipboard as an
    // image, to be pasted into other programs. Nothing shown, nothing copied.
    void CopyImageExecute();
    // The image area's keys: the next (step 1) or previous (-1) image entry is selected
    // and shown, as moving through the list does; nothing at either end.
    void stepImage(int step);
    void ShowButtonsExecute();
    void HideButtonsExecute();
    // Hides the list side, then offers the one-time hint on how to bring it back.
    void btnHideListClick();
    // Lays out the left side's fixed-position controls for its new width.
    void Splitter1Moved();
    // Right button on the list at position (viewport coordinates): the entry under it
    // (none below the last entry) becomes the selection and is shown or cleared.
    void lstFilesMouseDown(const QPoint &position);
    // Prepares mnuPopup for opening on opener (the window, Imager1 or lstFiles): Properties
    // is offered only on the list for a selected image entry.
    void mnuPopupPopup(QWidget *opener);
    void Imager1Click();
    void Imager1DblClick();
    void Imager1Enter();
    void Imager1KeyPress(const QString &text);
    // globalPosition: where the pointer is, in screen pixels. Screen, not area, pixels:
    // the area moving under a still pointer (going full screen) is no movement.
    void Imager1MouseMove(const QPoint &globalPosition);

    // Once the event loop has returned, right before the process ends without destroying
    // the window: lets the decoding worker go without waiting for it.
    void prepareForExit();

    // --- State, for the other parts of the window and for tests ---
    const std::string &CurrentDirectory() const { return m_currentDirectory; }
    const PIDL &CurrentPIDL() const { return m_currentPIDL; }
    const PIDL &ParentPIDL() const { return m_parentPIDL; }
    int ImageCount() const { return m_imageCount; }
    const FileListModel &files() const { return m_model; }
    FileListView &fileListView() const { return *lstFiles; }
    QComboBox &imageTypes() const { return *cmbImageTypes; }
    ImageLoader &loader() const { return *m_loader; }
    ImageControls &imageControls() const { return *m_controls; }
    imaging::TImager &imager() const { return *Imager1; }
    QMenu &popupMenu() const { return *mnuPopup; }
    // The line the image area shows for a file that failed to load; empty otherwise.
    QString failureText() const;
    const FullScreenPresentation &fullScreen() const { return *m_fullScreen; }
    const SlideShow &slideShow() const { return m_slideShow; }
    const QTimer &slideTimer() const { return timSlideShow; }
    int selectedIndex() const;
    // The full path of the image entry at row; empty for a folder entry.
    std::string EntryPath(int row) const;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void FormCreate();
    void FormShow();
    void FormActivate();
    void FormClose();

    void buildLayout();
    QWidget *buildButtonsPanel();
    void buildActions();    // Commands.cpp
    void buildPopupMenu();  // Commands.cpp
    void connectCommands(); // Commands.cpp
    void openPopupMenu(QWidget *opener, const QPoint &globalPosition);

    // The left side and its two optional panels, shown and hidden by one routine (Commands.cpp).
    enum class Panel { List, Controls, Buttons };
    struct PanelSwitch {
        QWidget *panel;
        QWidget *strip; // the thin bar that stands in for a hidden panel; none for the list
        QAction *show, *hide, *toggle;
        LongBool TOptions::*setting; // where the choice is remembered; none for the list
        const char *showCaption, *hideCaption;
    };
    PanelSwitch panelSwitch(Panel which) const;
    void togglePanel(Panel which);
    void setPanelShown(Panel which, bool shown);
    // The window may not get shorter than its visible panels and a few rows of the list, nor
    // larger than the screen: there the left side scrolls.
    void updateMinimumHeight();
    // The window's frame moved and shrunk onto the available area of its screen.
    void keepOnScreen();
    // The available area of the window's screen less the window's frame.
    QSize roomOnScreen() const;
    // Places the left side's fixed-position controls for a left side of that width.
    void layoutTools(int width);
    // The filter box and the buttons grow from their design size with the font, so that
    // their texts fit whole; the design layout stands while they fit it.
    void fitToolsToFont();
    // Steps 7 to 9 of a listing: false when the folder cannot be enumerated.
    bool enumerateFolder(PIDL folder, bool directoryFromList, const std::string &target);
    void applyImageAdjustments();
    SlideEntries slideEntries() const;
    // Keys and Ctrl+wheel in the image area; true when used.
    bool imageAreaKey(const QKeyEvent &event);
    bool imageAreaWheel(const QWheelEvent &event);
    void nameControls(); // accessible names from hints and captions
    // The failure line takes a colour that reads on the area's background (black in full
    // screen and in the slide show, the theme's colour otherwise).
    void colourFailureText();
    void restorePlacement();  // before the first show
    void rememberPlacement(); // at close

    TOptions &m_options;
    const std::string m_firstArgument;

    std::string m_currentDirectory;
    PIDL m_currentPIDL;
    PIDL m_parentPIDL;
    int m_imageCount = 0;
    QCollator m_collator;
    FileListModel m_model;
    bool m_shown = false;
    bool m_activated = false;
    // Copy Image of a reduced decode waits for the whole image of this file.
    std::string m_copyWhenWhole;

    // Windowless imagers: the unadjusted copy and the worker's decoding target.
    std::unique_ptr<imaging::WindowlessImager> UnadjustedImager;
    std::unique_ptr<imaging::WindowlessImager> DecoderImager;
    std::unique_ptr<ImageLoader> m_loader;
    std::unique_ptr<FullScreenPresentation> m_fullScreen;
    bool m_listBeforeFullScreen = true;
    // The slide show: runs exactly while timSlideShow is active.
    QTimer timSlideShow;
    SlideShow m_slideShow;
    bool SlideListWasVisible = false;
    bool m_slideOwnsFullScreen = false; // the show went full screen and takes it back
    int m_wheelRest = 0;                // Ctrl+wheel angle not yet turned into a zoom step

    QSplitter *Splitter1 = nullptr;
    // The left side: its column of panels in a scroll area, which scrolls only where the
    // window cannot be made large enough for the column (a large font on a small screen).
    QScrollArea *panTools = nullptr;
    QWidget *panToolsColumn = nullptr;
    QWidget *panControls = nullptr;
    QWidget *panControlsHidden = nullptr;
    FileListView *lstFiles = nullptr;
    FileListDelegate *m_delegate = nullptr;
    QWidget *panButtonsHidden = nullptr;
    QWidget *panButtons = nullptr;
    QComboBox *cmbImageTypes = nullptr;
    imaging::TImager *Imager1 = nullptr;

    ImageControls *m_controls = nullptr; // builds and owns panControls' behaviour
    QLabel *lblFailure = nullptr;        // why the requested file is not shown, in the area
    QToolButton *btnHideButtons = nullptr;
    QLabel *imgShowControls = nullptr, *imgShowButtons = nullptr;
    QPushButton *btnOpen = nullptr, *btnOptions = nullptr, *btnRefresh = nullptr,
                *btnAbout = nullptr, *btnSlideShow = nullptr, *btnHideList = nullptr;

    QAction *Refresh = nullptr, *Directory = nullptr, *HideList = nullptr, *ShowOptions = nullptr,
            *ShowList = nullptr, *ShowControls = nullptr, *ShowAbout = nullptr,
            *StartSlideShow = nullptr, *Exit = nullptr, *MakeListActive = nullptr,
            *StopSlideShow = nullptr, *HideControls = nullptr, *Properties = nullptr,
            *HideButtons = nullptr, *ShowButtons = nullptr, *ToggleListVisible = nullptr,
            *ToggleControlsVisible = nullptr, *ToggleButtonsVisible = nullptr,
            *FullScreen = nullptr, *LeaveFullScreen = nullptr, *DeleteFile = nullptr,
            *ZoomInKey = nullptr, *ZoomOutKey = nullptr, *Zoom100Key = nullptr, *PopupKey = nullptr,
            *CopyImage = nullptr;
    QMenu *mnuPopup = nullptr;
    ScaledLayout m_buttonsLayout;     // panButtons' controls at their design places
    double m_toolsScale = 1.0;        // of that design, for the present font
    QWidget *m_popupOpener = nullptr; // the control mnuPopup was last opened on
};

} // namespace oxlume
