#include "Busy.h"

#include "platform/Errors.h"

#include <QApplication>
#include <QCursor>

namespace oxlume {

namespace {
int g_busyDepth = 0;
bool g_cursorSet = false; // whether the first BeginBusy could set a cursor
} // namespace

void BeginBusy()
{
    if (g_busyDepth++ == 0) {
        g_cursorSet = qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr;
        if (g_cursorSet)
            QApplication::setOverrideCursor(Qt::WaitCursor);
    }
}

void EndBusy()
{
    assertThat(g_busyDepth > 0, "Busy", __LINE__);
    if (--g_busyDepth == 0 && g_cursorSet) {
        g_cursorSet = false;
        QApplication::restoreOverrideCursor();
    }
}

int BusyDepth()
{
    return g_busyDepth;
}

} // namespace oxlume
