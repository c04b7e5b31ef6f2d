#pragma once
// The GUI application object. An exception that escapes an event handler ends only that
// handler: its message is reported (by default in a warning box titled "Oxlume") and the
// event loop carries on.

#include <QApplication>
#include <functional>

namespace oxlume {

class OxlumeApplication : public QApplication {
    Q_OBJECT
public:
    using ErrorReporter = std::function<void(const QString &message)>;

    OxlumeApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    // Replaces how an escaped error is shown (tests record it instead of opening a box).
    void setErrorReporter(ErrorReporter reporter);

    // The default reporter: an application-modal warning box titled "Oxlume".
    static void showErrorBox(const QString &message);

private:
    void report(const QString &message);

    ErrorReporter m_reporter;
    bool m_reporting = false;
};

} // namespace oxlume
