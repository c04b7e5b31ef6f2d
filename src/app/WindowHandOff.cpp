#include "WindowHandOff.h"

#include "viewer/MainForm.h"

#include <QEvent>
#include <QPointer>

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

HandOffServer::Receiver WindowHandOffReceiver(TfrmMain &window)
{
    QPointer<CloseWatch> watch = new CloseWatch(window);
    QPointer<TfrmMain> target = &window;
    return [watch, target](const HandOff &message) {
        if (!watch || !target || watch->closing)
            return false;
        QMetaObject::invokeMethod(
            target.data(),
            [target, message] { target->ReceiveHandOff(message.path, message.activationToken); },
            Qt::QueuedConnection);
        return true;
    };
}

} // namespace oxlume
