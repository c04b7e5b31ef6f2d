#pragma once
// The one-time hint dialog: a short explanation shown once after an action whose
// consequence may puzzle the user, with a box to switch that hint off.

#include "guidance/HintLocal.h"

#include "dialogs/ScaledForm.h"

#include <QDialog>

#include <cstdint>

class QCheckBox;
class QFrame;
class QLabel;
class QPushButton;

namespace oxlume {

class TfrmHint : public QDialog {
    Q_OBJECT

public:
    explicit TfrmHint(QWidget *parent = nullptr);

    // Lays the dialog out for the hint (check box, heading rule, texts) and remembers it;
    // a BitNumber outside 0..31 raises "Assertion failure (HintForm, line N)".
    void prepare(const THintInfo &hint);

    // Where the dialog goes: centred on the frame of centreOn, else on the primary screen;
    // a negative left or top becomes 0.
    QPoint placementFor(const QWidget *centreOn) const;

    QLabel *imgLightbulb = nullptr;
    QFrame *panHint = nullptr;
    QLabel *lblHeading = nullptr;
    QLabel *lblHint = nullptr;
    QCheckBox *chkDontShowHint = nullptr;
    QPushButton *btnClose = nullptr;

public slots:
    void done(int result) override;
    // Esc and the close box end the dialog as the Close button does.
    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void FormClose();
    // Texts in sizes taken from the present font, then the dialog grown from its design
    // size until the heading, the hint's text and the buttons fit.
    void fitToFont();

    ScaledLayout m_layout;
    ScrolledPage m_page{*this};
    double m_factor = 1.0; // of the design size, as last fitted

    int HeadingGap = 0; // lblHint's distance below lblHeading as laid out
    THintInfo m_hint{};
    bool m_hasHint = false;
};

// Shows the hint modally unless it is switched off (by its bit or "Disable All Hints",
// both ignored for an AlwaysShow hint). Returns when the dialog has closed. A BitNumber
// outside 0..31 raises "Assertion failure (HintForm, line N)".
void ShowOneTimeHint(const THintInfo &hint, QWidget *centreOn);

// ShowOneTimeHint for the hint of that number in this program's table; any number but 0
// raises "Assertion failure (HintLocal, line N)".
void ShowLocalHint(std::int32_t number, QWidget *mainWindow);

// The process-wide dialog, or null before the first hint was shown.
TfrmHint *HintDialog();

} // namespace oxlume
