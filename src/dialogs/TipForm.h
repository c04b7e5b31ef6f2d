#pragma once
// The Tip of the Day: one short tip about the viewer at the first activation of the main
// window, taking the tips in a cycle that goes on from run to run.

#include "dialogs/ScaledForm.h"

#include <QDialog>

#include <cstdint>

class QCheckBox;
class QFrame;
class QLabel;
class QPushButton;

namespace oxlume {

class TfrmTip : public QDialog {
    Q_OBJECT

public:
    explicit TfrmTip(QWidget *parent = nullptr);

    QLabel *imgIcon = nullptr;
    QFrame *panTip = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *lblTip = nullptr;
    QCheckBox *chkShowTips = nullptr;
    QPushButton *btnNext = nullptr;
    QPushButton *btnClose = nullptr;

    // The index the dialog started at when it was last shown.
    std::int32_t FirstShownTip = 0;

public slots:
    void btnNextClick();
    void done(int result) override;
    // Close is the cancel button: Esc and the close box give its result.
    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void FormShow();
    void FormClose();
    void showOneTip();

    ScrolledPage m_page{*this};
};

// The first activation of the main window: shows the dialog modally, centred on the
// window, when "Show Tips" is on. Created on first use with the window as owner and kept.
void ShowTipOfTheDay(QWidget *mainWindow);

// The process-wide dialog, or null before it was first shown.
TfrmTip *TipDialog();

} // namespace oxlume
