#pragma once
// Driving modal dialogs from a test: the dialog's own event loop runs inside show(), so a
// short polling timer finds it once it is up.

#include <QApplication>
#include <QTimer>

#include <functional>

namespace oxlume::test {

// Runs show(); when a modal Dialog opens, hands it to whileOpen and then, if it is still
// visible, to close. Returns the dialog that opened, or null when none did.
template<typename Dialog>
Dialog *runWithModal(const std::function<void()> &show,
                     const std::function<void(Dialog *)> &whileOpen,
                     const std::function<void(Dialog *)> &close)
{
    Dialog *opened = nullptr;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll.stop();
        opened = dialog;
        if (whileOpen)
            whileOpen(dialog);
        if (dialog->isVisible())
            close(dialog);
    });
    poll.start();
    show();
    return opened;
}

} // namespace oxlume::test
