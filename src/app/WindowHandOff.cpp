#include "WindowHandOff.h"

#include "viewer/MainForm.h"

#include <QEvent>

namespace oxlume {

namespace {

// Notes the close of the window it watches (a child of it, so it goes with the window).
class CloseWatch : public QObject {
public:
    explicit CloseWatch(QWidget &window)
        : QObject(&window)
    {
        window.installEventFilter(this);
    }
    bool closing = false;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Close)
            closing = true;
        return false;
    }
};

} // namespace

std::unique_ptr<HandOffServer> ServeHandOffs(platform::UniqueFd listener, TfrmMain &window)
{
    auto *watch = new CloseWatch(window);
    return std::make_unique<HandOffServer>(
        std::move(listener),
        [&window](const HandOff &message) {
            window.ReceiveHandOff(message.path, message.activationToken);
        },
        [watch] { return !watch->closing; });
}

} // namespace oxlume
