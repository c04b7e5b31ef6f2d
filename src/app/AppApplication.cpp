#include "AppApplication.h"

#include <QMessageBox>
#include <exception>

namespace oxlume {

OxlumeApplication::OxlumeApplication(int &argc, char **argv)
    : QApplication(argc, argv)
    , m_reporter(&OxlumeApplication::showErrorBox)
{
}

bool OxlumeApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        report(QString::fromUtf8(e.what()));
    } catch (...) {
        report(QStringLiteral("Unknown error"));
    }
    return false;
}

void OxlumeApplication::setErrorReporter(ErrorReporter reporter)
{
    m_reporter = std::move(reporter);
}

void OxlumeApplication::showErrorBox(const QString &message)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Oxlume"), message, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void OxlumeApplication::report(const QString &message)
{
    // A handler that keeps failing (a timer, say) while the box is open would otherwise
    // stack one modal box on another; the extra messages go to the log instead.
    if (m_reporting || !m_reporter) {
        qWarning("Oxlume: %s", qUtf8Printable(message));
        return;
    }
    m_reporting = true;
    try {
        m_reporter(message);
    } catch (...) {
        qWarning("Oxlume: %s", qUtf8Printable(message));
    }
    m_reporting = false;
}

} // namespace oxlume
