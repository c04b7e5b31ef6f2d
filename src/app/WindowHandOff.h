#pragma once
// The running window's end of a hand-off, as the viewer run wires it to the server.

#include "platform/HandOffServer.h"

namespace oxlume {

class TfrmMain;

// Takes a handed-over path for window unless the window is closing (then the sender is not
// answered and starts as the first instance itself). The path is opened once control is
// back in the event loop, so that the sender hears at once and goes.
HandOffServer::Receiver WindowHandOffReceiver(TfrmMain &window);

} // namespace oxlume
