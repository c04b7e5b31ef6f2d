#pragma once
// The About box. Its icon hides a small diagnostic: the third double-click on it shows the
// program's full command line.

#include "dialogs/ScaledForm.h"

#include <QDialog>

#include <cstdint>
#include <string>
#include <vector>

class QLabel;
class QPushButton;

namespace oxlume {

// Double-clicks on the About icon in this process; never reset.
extern std::int32_t CommandLineRevealCount;

// The process arguments as the raw argv bytes, program path first. The main block stores
// them; until it does, ProcessArguments() falls back to the application's argument list.
void SetProcessArguments(std::vector<std::string> arguments);
std::vector<std::string> ProcessArguments();

class TfrmAbout : public QDialog {
    Q_OBJECT

public:
    explicit TfrmAbout(QWidget *parent = nullptr);

    // Moves the dialog to the middle of the primary screen.
    void centreOnScreen();

    QLabel *Image1 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *lblLong = nullptr;
    QPushButton *btnClose = nullptr;

public slots:
    // Counts the double-click; the third one shows every process argument, each followed
    // by one blank, in place of the long description.
    void Image1DblClick();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // Grows the dialog from its design size until every text fits at the present font.
    void fitToFont();

    ScaledLayout m_layout;
    ScrolledPage m_page{*this};
};

// Shows the About box modally; created on first use without owner and kept for the process.
void ShowAboutBox();

// The process-wide About box, or null before it was first shown.
TfrmAbout *AboutBox();

} // namespace oxlume
