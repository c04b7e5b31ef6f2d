#pragma once
// The Options dialog: the one place where the user edits the settings record. It changes
// the record in memory only; the settings file is written when the main window closes.

#include "dialogs/ScaledForm.h"
#include "platform/Result.h"
#include "settings/OptionsUnit.h"

#include <QDialog>

#include <functional>
#include <optional>
#include <string>

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSlider;
class QTabWidget;
class QWidget;

namespace oxlume {

// What the dialog needs from the rest of the program; the main window fills them in, tests
// put in their own.
struct OptionsHooks {
    // Returns once no image is being decoded on the second thread (takes and releases
    // DecodeLock under the busy cursor).
    std::function<void()> waitForDecode;
    // Installs (true) or removes (false) the context-menu entries; an error names the file
    // that could not be written.
    std::function<Result<void>(bool install)> changeAssociations;
    // The folder browser: nothing when cancelled, an empty path for a pick that has no
    // file-system path.
    std::function<std::optional<std::string>(QWidget *owner, const std::string &start)> browse;
};

// The hooks that act on the running program: real associations and the platform's folder
// browser; waitForDecode is left for the window to give.
OptionsHooks defaultOptionsHooks();

class TfrmOptions : public QDialog {
    Q_OBJECT

public:
    TfrmOptions(TOptions &options, OptionsHooks hooks, QWidget *parent = nullptr);

    QTabWidget *pagOptions = nullptr;
    QWidget *tabGeneral = nullptr;
    QWidget *tabSlideShow = nullptr;
    QCheckBox *chkUseThreads = nullptr;
    QCheckBox *chkFileAssociations = nullptr;
    QCheckBox *chkShowTips = nullptr;
    QGroupBox *radStartDirectory = nullptr;
    QButtonGroup *startDirectoryItems = nullptr;
    QPushButton *btnChangeFolder = nullptr;
    QLabel *lblShowSpeed = nullptr;
    QSlider *traSlideShowSpeed = nullptr;
    QLabel *lblSpeed = nullptr;
    QGroupBox *radSlideMethod = nullptr;
    QButtonGroup *slideMethodItems = nullptr;
    QCheckBox *chkSlideStopOnMouse = nullptr;
    QCheckBox *chkSlideFullScreen = nullptr;
    QCheckBox *chkSlideShowLoop = nullptr;
    QPushButton *btnOk = nullptr;
    QPushButton *btnCancel = nullptr;

    // The item texts of radStartDirectory as shown now.
    QString startDirectoryItemText(int index) const;

public slots:
    void traSlideShowSpeedChange();
    void btnChangeFolderClick();
    void btnOkClick();

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void FormCreate();
    void FormShow();
    void showCustomFolder();

    TOptions &m_options;
    OptionsHooks m_hooks;
    ScrolledPage m_page{*this};
};

// Shows the Options dialog modally over the application; created on first use without
// owner and kept for the rest of the process, so later uses reopen it on its last page.
void ShowOptionsDialog(TOptions &options, OptionsHooks hooks);

// The process-wide Options dialog, or null before its first use.
TfrmOptions *OptionsDialog();

} // namespace oxlume
